// A real mosquitto broker for one test: a generated configuration in a temporary
// directory, loopback only, on free ports; a password file (user "monitor" and user
// "ward", password "secret"); with TLS, a CA, a server and a client certificate made
// by openssl, and a second CA that signed nothing the broker uses.
#pragma once

#include <sys/types.h>

#include <string>

#include "tests/support/temp_dir.h"

namespace testing_support {

class TestBroker {
public:
    // acl: the text of an ACL file, none when empty; extra: lines at the configuration's
    // end (a bridge).
    explicit TestBroker(bool tls = false, std::string acl = {}, std::string extra = {});
    ~TestBroker();  // kills the broker
    TestBroker(const TestBroker&) = delete;
    TestBroker& operator=(const TestBroker&) = delete;

    // Starts (or starts again, on the same ports) and waits until it accepts.
    bool Start();
    // Ends it (SIGTERM, then SIGKILL) and waits.
    void Stop();
    bool Running() const { return pid_ > 0; }
    // A broker that hangs (SIGSTOP): its connections stay open and nothing is read,
    // so the clients' buffers fill. Resume() lets it go on.
    void Pause();
    void Resume();
    // A broker that dies at once (SIGKILL), paused or not.
    void Kill();

    int Port() const { return port_; }  // plain listener
    // TLS listener: a client certificate required, its name the user name.
    int TlsPort() const { return tls_port_; }
    std::string Url() const;     // mqtt://127.0.0.1:<port>
    std::string TlsUrl() const;  // mqtts://127.0.0.1:<tls port>
    std::string PasswordFile() const { return dir_.File("password.txt"); }
    std::string File(const std::string& name) const { return dir_.File(name); }
    // ca.crt, wrong-ca.crt, client.crt, client.key.
    std::string CaFile() const { return dir_.File("ca.crt"); }
    std::string WrongCaFile() const { return dir_.File("wrong-ca.crt"); }
    std::string ClientCert() const { return dir_.File("client.crt"); }
    std::string ClientKey() const { return dir_.File("client.key"); }
    const std::string& Error() const { return error_; }
    std::string Log() const;

    // A port nothing listens on at the moment.
    static int FreePort();

private:
    bool Prepare();

    TempDir dir_;
    bool tls_;
    std::string acl_;
    std::string extra_;
    bool prepared_ = false;
    int port_ = 0;
    int tls_port_ = 0;
    pid_t pid_ = -1;
    std::string error_;
};

}  // namespace testing_support
