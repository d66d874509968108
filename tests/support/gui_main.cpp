// main() for GUI tests: one QApplication on the offscreen platform (unless the
// environment chose another), Fusion style so colours are exact, and a private
// runtime directory.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QStyleFactory>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    std::string runtime = std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/velt-xdg-XXXXXX";
    std::vector<char> buf(runtime.begin(), runtime.end());
    buf.push_back(0);
    if (mkdtemp(buf.data()) != nullptr) setenv("XDG_RUNTIME_DIR", buf.data(), 1);
    QApplication app(argc, argv);
    QApplication::setStyle(QStyleFactory::create("Fusion"));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
