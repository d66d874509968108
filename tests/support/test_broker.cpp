#include "tests/support/test_broker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace testing_support {
namespace {

bool Accepts(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

bool Run(const std::string& command, std::string* error) {
    if (std::system(command.c_str()) == 0) return true;
    *error = "failed: " + command;
    return false;
}

}  // namespace

int TestBroker::FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

TestBroker::TestBroker(bool tls, std::string acl, std::string extra)
    : tls_(tls), acl_(std::move(acl)), extra_(std::move(extra)) {}

TestBroker::~TestBroker() { Stop(); }

std::string TestBroker::Url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }
std::string TestBroker::TlsUrl() const { return "mqtts://127.0.0.1:" + std::to_string(tls_port_); }

std::string TestBroker::Log() const {
    std::ifstream in(dir_.File("broker.log"));
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool TestBroker::Prepare() {
    const std::string d = "'" + dir_.path() + "'";
    port_ = FreePort();
    tls_port_ = tls_ ? FreePort() : 0;
    if (port_ == 0 || (tls_ && tls_port_ == 0)) {
        error_ = "no free port";
        return false;
    }
    dir_.Write("password.txt", "secret\n");
    if (!Run("cd " + d +
                 " && : > passwd && mosquitto_passwd -b passwd monitor secret && "
                 "mosquitto_passwd -b passwd ward secret",
             &error_))
        return false;
    std::string conf =
        "per_listener_settings false\nallow_anonymous false\npersistence false\n"
        "set_tcp_nodelay true\n"
        "password_file " +
        dir_.File("passwd") + "\nlog_dest file " + dir_.File("broker.log") +
        "\nlog_type error\nlog_type warning\nlog_type notice\n"
        "listener " +
        std::to_string(port_) + " 127.0.0.1\n";
    if (!acl_.empty()) {
        dir_.Write("acl", acl_);
        conf += "acl_file " + dir_.File("acl") + "\n";
    }
    // Run as root, the broker would switch to its own user, who cannot read this folder.
    if (getuid() == 0) conf += "user root\n";
    if (tls_) {
        const std::string key = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
        if (!Run("cd " + d +
                     " && exec >openssl.log 2>&1 && "
                     "openssl req -x509 " +
                     key +
                     " -keyout ca.key -out ca.crt -days 2 -subj /CN=velt-test-ca && "
                     "openssl req -x509 " +
                     key +
                     " -keyout wrong-ca.key -out wrong-ca.crt -days 2 -subj /CN=velt-wrong-ca && "
                     "printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\n' > san.ext && "
                     "openssl req " +
                     key +
                     " -keyout server.key -out server.csr -subj /CN=127.0.0.1 && "
                     "openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial "
                     "-out server.crt -days 2 -extfile san.ext && "
                     "openssl req " +
                     key +
                     " -keyout client.key -out client.csr -subj /CN=monitor && "
                     "openssl x509 -req -in client.csr -CA ca.crt -CAkey ca.key -CAcreateserial "
                     "-out client.crt -days 2",
                 &error_))
            return false;
        conf += "listener " + std::to_string(tls_port_) + " 127.0.0.1\ncafile " +
                dir_.File("ca.crt") + "\ncertfile " + dir_.File("server.crt") + "\nkeyfile " +
                dir_.File("server.key") +
                "\nrequire_certificate true\nuse_identity_as_username true\n";
    }
    dir_.Write("mosquitto.conf", conf + extra_);
    prepared_ = true;
    return true;
}

bool TestBroker::Start() {
    if (pid_ > 0) return true;
    if (!prepared_ && !Prepare()) return false;
    const std::string conf = dir_.File("mosquitto.conf");
    char arg0[] = "mosquitto";
    char arg1[] = "-c";
    std::string conf_arg = conf;
    char* argv[] = {arg0, arg1, conf_arg.data(), nullptr};
    pid_t pid = -1;
    // Its own output (the warning about root, say) goes to its log's folder.
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    const std::string out = dir_.File("broker.out");
    posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&files, 1, 2);
    const int spawned = posix_spawnp(&pid, "mosquitto", &files, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&files);
    if (spawned != 0) {
        error_ = "cannot start mosquitto";
        return false;
    }
    pid_ = pid;
    // Bounded: a broker that does not listen within 10 s is a failure.
    for (int i = 0; i < 500; ++i) {
        if (Accepts(port_) && (!tls_ || Accepts(tls_port_))) return true;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            error_ = "mosquitto ended: " + Log();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    error_ = "mosquitto does not listen: " + Log();
    Stop();
    return false;
}

void TestBroker::Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    kill(pid_, SIGCONT);  // a paused broker ends as well
    int status = 0;
    for (int i = 0; i < 250; ++i) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

void TestBroker::Pause() {
    if (pid_ > 0) kill(pid_, SIGSTOP);
}

void TestBroker::Resume() {
    if (pid_ > 0) kill(pid_, SIGCONT);
}

void TestBroker::Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

}  // namespace testing_support
