#include "display/monitoring_view.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QBackingStore>
#include <QDir>
#include <QEventLoop>
#include <QExposeEvent>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPrinter>
#include <QStyleHints>
#include <QTimer>
#include <QWindow>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "display/colour_label.h"
#include "link/configuration.h"
#include "link/oximeter.h"
#include "platform/system_info.h"
#include "processing/measurement.h"
#include "tests/support/debug_capture.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using testing_support::TempDir;

// A link that opens nothing and counts what the view does with it.
class CountingLink : public COximeter {
public:
    explicit CountingLink(std::atomic<int>* destroyed = nullptr)
        : COximeter(nullptr, 1, false, nullptr), destroyed_(destroyed) {}
    ~CountingLink() override {
        if (destroyed_) ++*destroyed_;
        if (on_destroy) on_destroy();
    }
    int ProcessPackets() override {
        ++processed;
        return COximeter::ProcessPackets();
    }
    std::atomic<int> processed{0};
    std::function<void()> on_destroy;

private:
    std::atomic<int>* destroyed_;
};

// Every test starts without a factory and with a configuration in a fresh directory.
class MonitoringViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        CVELTMonitoringView::SetLinkFactory(nullptr);
        config::SetConfigPath(dir_.File("VELTMonitoring.ini"));
    }
    void TearDown() override {
        CVELTMonitoringView::SetLinkFactory(nullptr);
        platform::SetProgramDirectoryForTesting("");
    }
    static QString Text(const CVELTMonitoringView& view, int field) {
        return view.FieldControlAt(field)->FieldText();
    }
    // Processes events until pred() or 10 s.
    template <class P>
    static bool SpinUntil(P pred) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!pred() && std::chrono::steady_clock::now() < deadline) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            std::this_thread::sleep_for(1ms);
        }
        return pred();
    }
    TempDir dir_;
};

QRect R(int l, int t, int r, int b) { return QRect(l, t, r - l, b - t); }

struct Expected {
    const char* label;  // nullptr: a field
    int field;
    QRect rect;
};

// The whole layout in creation order.
std::vector<Expected> ExpectedLayout() {
    std::vector<Expected> e;
    const int cols[3] = {106, 179, 252};
    e.push_back({" IR", -1, R(106, 24, 176, 44)});
    e.push_back({" Red", -1, R(179, 24, 249, 44)});
    e.push_back({" Red2", -1, R(252, 24, 322, 44)});
    auto row = [&](int y, const char* label, std::initializer_list<int> fields) {
        e.push_back({label, -1, R(3, y, 103, y + 20)});
        int c = 0;
        for (int f : fields) {
            e.push_back({nullptr, f, R(cols[c], y, cols[c] + 70, y + 20)});
            ++c;
        }
    };
    row(47, " LED S /mA", {LedS_IR, LedS_Red, LedS_Red2});
    row(70, " LED M /mA", {LedM_IR, LedM_Red, LedM_Red2});
    row(93, " ADC /V", {Adc_IR, Adc_Red, Adc_Red2});
    row(116, " ADC Sig /V", {AdcSig_IR, AdcSig_Red, AdcSig_Red2});
    row(139, " Gain I /MOhm", {GainI});
    e.push_back({nullptr, StatusText, R(3, 3, 499, 23)});
    e.push_back({nullptr, TimeText, R(502, 3, 659, 23)});
    e.push_back({nullptr, ComputerText, R(662, 3, 739, 23)});
    e.push_back({nullptr, PortText, R(742, 3, 842, 23)});
    row(162, " Sensor /.001", {Sensor_IR, Sensor_Red, Sensor_Red2});
    row(185, " RMS /%", {Rms_IR, Rms_Red, Rms_Red2});
    row(208, " Pulse /bpm", {Pulse});
    row(231, " SPO2 /%", {Spo2});
    row(254, " R-HbCO /%", {RHbCO});
    row(277, " Rise /ms", {Rise});
    row(300, " Jitter /ms", {Jitter});
    row(323, " Perfus. /%", {Perfusion_IR, Perfusion_Red});
    row(346, " RSens /KOhm", {RSens});
    row(369, " Ambient /%", {Ambient});
    row(392, " Gener /V", {Gener});
    row(415, " Temp /\u00B0C", {Temp});
    e.push_back({" Operator", -1, R(329, 323, 429, 343)});
    e.push_back({nullptr, DocOperator, R(432, 323, 502, 343)});
    e.push_back({" Serial", -1, R(329, 346, 429, 366)});
    e.push_back({nullptr, DocSerial, R(432, 346, 502, 366)});
    e.push_back({" Sensor", -1, R(329, 369, 429, 389)});
    e.push_back({nullptr, DocSensor, R(432, 369, 502, 389)});
    e.push_back({" Comment", -1, R(329, 392, 429, 412)});
    e.push_back({nullptr, DocComment, R(432, 392, 782, 435)});
    return e;
}

bool IsColouredLabel(const QString& text) {
    for (const char* t :
         {" Pulse /bpm", " SPO2 /%", " R-HbCO /%", " Rise /ms", " Jitter /ms", " Perfus. /%"})
        if (text == QString::fromUtf8(t)) return true;
    return false;
}

TEST_F(MonitoringViewTest, LayoutHasEveryControlInCreationOrderWithItsRectangle) {
    CVELTMonitoringView view;
    const std::vector<Expected> expected = ExpectedLayout();
    ASSERT_EQ(expected.size(), 62u);
    ASSERT_EQ(view.Controls().size(), 62u);
    int label_index = 0;
    for (size_t i = 0; i < expected.size(); ++i) {
        QWidget* w = view.Controls()[i];
        EXPECT_EQ(w->geometry(), expected[i].rect) << "control " << i;
        if (expected[i].label != nullptr) {
            auto* label = qobject_cast<QLabel*>(w);
            ASSERT_NE(label, nullptr) << i;
            EXPECT_EQ(label->text(), QString::fromUtf8(expected[i].label));
            EXPECT_EQ(view.Label(label_index++), label);
        } else {
            EXPECT_EQ(w, view.Field(expected[i].field)) << ViewFieldName(expected[i].field);
        }
    }
    EXPECT_EQ(label_index, 24);
    // The degree sign is one character, U+00B0.
    EXPECT_EQ(view.Label(19)->text().at(7), QChar(0xB0));
    EXPECT_EQ(view.sizeHint(), QSize(843, 436));
    EXPECT_EQ(view.minimumSize(), QSize(843, 436));
    EXPECT_EQ(view.Field(ViewFieldCount), nullptr);
    EXPECT_EQ(view.Field(-1), nullptr);
}

TEST_F(MonitoringViewTest, FieldsHaveTheirReadOnlyStateAlignmentAndColours) {
    CVELTMonitoringView view;
    for (int f = 0; f < ViewFieldCount; ++f) {
        SCOPED_TRACE(ViewFieldName(f));
        FieldControl* control = view.FieldControlAt(f);
        ASSERT_NE(control, nullptr);
        const bool documentation = f >= DocOperator;
        const bool top_row = f >= StatusText && f <= PortText;
        if (f == DocComment) {
            auto* edit = qobject_cast<QPlainTextEdit*>(view.Field(f));
            ASSERT_NE(edit, nullptr);
            EXPECT_FALSE(edit->isReadOnly());
            EXPECT_EQ(edit->lineWrapMode(), QPlainTextEdit::NoWrap);
            EXPECT_FALSE(edit->testAttribute(Qt::WA_SetPalette));
            continue;
        }
        auto* edit = qobject_cast<QLineEdit*>(view.Field(f));
        ASSERT_NE(edit, nullptr);
        EXPECT_EQ(edit->isReadOnly(), !documentation);
        EXPECT_TRUE(edit->hasFrame());
        EXPECT_TRUE(edit->focusPolicy() & Qt::TabFocus);
        const Qt::Alignment h = edit->alignment() & Qt::AlignHorizontal_Mask;
        EXPECT_EQ(h, top_row ? Qt::AlignLeft : Qt::AlignRight);
        if (documentation) {
            EXPECT_EQ(control->Colours().BackgroundColour(), ColourLabel::DEFAULT_COLOUR);
            EXPECT_FALSE(edit->testAttribute(Qt::WA_SetPalette));
        } else {
            EXPECT_EQ(control->Colours().BackgroundColour(), RGB(240, 240, 240));
            EXPECT_EQ(edit->palette().color(QPalette::Base), QColor(240, 240, 240));
            EXPECT_EQ(control->Colours().TextColour(), ColourLabel::DEFAULT_COLOUR);
        }
    }
    int coloured = 0;
    for (int i = 0; i < 24; ++i) {
        QLabel* label = view.Label(i);
        SCOPED_TRACE(label->text().toStdString());
        const Qt::Alignment h = label->alignment() & Qt::AlignHorizontal_Mask;
        EXPECT_EQ(h, i < 3 ? Qt::AlignHCenter : Qt::AlignLeft);
        auto* colour_static = dynamic_cast<ColourStatic*>(label);
        if (IsColouredLabel(label->text())) {
            ++coloured;
            ASSERT_NE(colour_static, nullptr);
            EXPECT_EQ(colour_static->BackgroundColour(), RGB(224, 224, 255));
            EXPECT_EQ(label->palette().color(QPalette::Window), QColor(224, 224, 255));
        } else {
            EXPECT_EQ(colour_static, nullptr);
            EXPECT_FALSE(label->testAttribute(Qt::WA_SetPalette));
        }
    }
    EXPECT_EQ(coloured, 6);
}

TEST_F(MonitoringViewTest, FocusStartsInFirstFieldAndTabFollowsCreationOrder) {
    CVELTMonitoringView view;
    view.show();
    ASSERT_TRUE(SpinUntil([&] { return view.isVisible(); }));
    EXPECT_EQ(view.focusWidget(), view.Field(LedS_IR));
    std::vector<QWidget*> chain;
    QWidget* w = view.Field(LedS_IR);
    for (int i = 0; i < 200 && chain.size() < ViewFieldCount; ++i) {
        if (w->focusPolicy() & Qt::TabFocus) chain.push_back(w);
        w = w->nextInFocusChain();
    }
    ASSERT_EQ(chain.size(), static_cast<size_t>(ViewFieldCount));
    for (int f = 0; f < ViewFieldCount; ++f) EXPECT_EQ(chain[f], view.Field(f)) << f;

    // A read-only field with the focus blinks no caret it does not draw; a documentation
    // field blinks as the platform does.
    QStyleHints* hints = QGuiApplication::styleHints();
    const int platform_flash = hints->cursorFlashTime();
    view.activateWindow();
    ASSERT_TRUE(SpinUntil([&] { return QApplication::focusWidget() == view.Field(LedS_IR); }));
    EXPECT_EQ(hints->cursorFlashTime(), 0);
    view.Field(DocOperator)->setFocus();
    ASSERT_TRUE(SpinUntil([&] { return QApplication::focusWidget() == view.Field(DocOperator); }));
    EXPECT_EQ(hints->cursorFlashTime(), platform_flash);
}

TEST_F(MonitoringViewTest, ViewWithoutLinkShowsEmptyFieldsAndTheResetPlot) {
    CVELTMonitoringView view;
    EXPECT_EQ(view.GetLink(), nullptr);
    for (int f = 0; f < ViewFieldCount; ++f) EXPECT_TRUE(Text(view, f).isEmpty()) << f;
    const QImage shot = view.grab().toImage().convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(shot.size(), QSize(843, 436));
    EXPECT_EQ(shot.pixelColor(332, 144), QColor(0, 0, 255));
    EXPECT_EQ(shot.pixelColor(836, 144), QColor(0, 0, 255));
    EXPECT_EQ(shot.pixelColor(333, 144), QColor(224, 224, 255));
    EXPECT_EQ(shot.pixelColor(328, 24), QColor(0, 0, 0));
    EXPECT_EQ(shot.pixelColor(600, 284), QColor(224, 224, 255));
    // A value field's inside and a coloured label.
    EXPECT_EQ(shot.pixelColor(120, 57), QColor(240, 240, 240));
    EXPECT_EQ(shot.pixelColor(100, 218), QColor(224, 224, 255));
}

TEST_F(MonitoringViewTest, SetFieldTextReplacesWholeTextAndMarksModified) {
    CVELTMonitoringView view;
    view.SetFieldText(DocOperator, "Smith");
    EXPECT_EQ(Text(view, DocOperator), QStringLiteral("Smith"));
    EXPECT_TRUE(view.IsFieldModified(DocOperator));
    view.SetFieldModified(DocOperator, false);
    EXPECT_FALSE(view.IsFieldModified(DocOperator));
    view.SetFieldText(DocOperator, "Jones");
    EXPECT_EQ(Text(view, DocOperator), QStringLiteral("Jones"));
    EXPECT_TRUE(view.IsFieldModified(DocOperator));

    // Null text and fields outside the set do nothing.
    view.SetFieldText(DocOperator, nullptr);
    view.SetFieldText(ViewFieldCount, "x");
    view.SetFieldText(-1, "x");
    EXPECT_EQ(Text(view, DocOperator), QStringLiteral("Jones"));
    EXPECT_FALSE(view.IsFieldModified(ViewFieldCount));

    // A value longer than its field stays whole.
    const std::string long_value(200, '9');
    view.SetFieldText(Pulse, long_value.c_str());
    EXPECT_EQ(Text(view, Pulse).toStdString(), long_value);

    view.SetFieldText(DocComment, "line one\r\nline two");
    EXPECT_TRUE(view.IsFieldModified(DocComment));
    char buffer[64];
    EXPECT_EQ(view.GetFieldText(DocComment, buffer, sizeof buffer), 18);
    EXPECT_STREQ(buffer, "line one\r\nline two");
}

// A long port name shows its beginning: the field's left part is the short name's.
TEST_F(MonitoringViewTest, ALongPortNameShowsItsBeginning) {
    CVELTMonitoringView view;
    view.show();
    QWidget* port = view.FieldControlAt(PortText)->AsWidget();
    auto left_part = [&](const char* text) {
        view.SetFieldText(PortText, text);
        return port->grab().toImage().copy(0, 0, 40, port->height());
    };
    const QImage short_name = left_part("COM1");
    const QImage long_name = left_part("COM1 /dev/pts/0 (a long device name)");
    EXPECT_EQ(long_name, short_name);
}

TEST_F(MonitoringViewTest, GetFieldTextCopiesAtMostLimitMinusOneBytes) {
    CVELTMonitoringView view;
    view.SetFieldText(DocSerial, "abcdefgh");
    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(view.GetFieldText(DocSerial, buffer, 5), 4);
    EXPECT_STREQ(buffer, "abcd");
    EXPECT_EQ(buffer[5], '#');
    EXPECT_EQ(view.GetFieldText(DocSerial, buffer, 1), 0);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(view.GetFieldText(DocSerial, buffer, 0), 0);
    EXPECT_EQ(view.GetFieldText(DocSerial, nullptr, 10), 0);
    EXPECT_EQ(view.GetFieldText(ViewFieldCount, buffer, 10), 0);
    EXPECT_STREQ(buffer, "");
    // A two-byte character is never cut in half.
    view.SetFieldText(DocSensor, "ab\xC2\xB0");
    EXPECT_EQ(view.GetFieldText(DocSensor, buffer, 4), 2);
    EXPECT_STREQ(buffer, "ab");
    EXPECT_EQ(view.GetFieldText(DocSensor, buffer, 5), 4);
    EXPECT_STREQ(buffer, "ab\xC2\xB0");
}

// Two workers write while the GUI thread only sits in a wait loop that runs pending
// calls, as a closing link does: nothing deadlocks and every text arrives in order.
TEST_F(MonitoringViewTest, WorkerWritesArriveWholeAndInOrderThroughWaitLoop) {
    CVELTMonitoringView view;
    std::vector<QString> seen[2];
    auto* a = qobject_cast<QLineEdit*>(view.Field(Adc_IR));
    auto* b = qobject_cast<QLineEdit*>(view.Field(StatusText));
    QObject::connect(a, &QLineEdit::textChanged, [&](const QString& t) { seen[0].push_back(t); });
    QObject::connect(b, &QLineEdit::textChanged, [&](const QString& t) { seen[1].push_back(t); });
    std::atomic<int> finished{0};
    auto writer = [&](int id) {
        const int field = id == 0 ? Adc_IR : StatusText;
        char text[64];
        for (int i = 0; i < 5000; ++i) {
            std::snprintf(text, sizeof text, "writer %d text %d", id, i);
            view.SetFieldText(field, text);
        }
        ++finished;
    };
    std::thread t0(writer, 0), t1(writer, 1);
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (finished < 2 && std::chrono::steady_clock::now() < deadline) {
        view.RunPendingCalls();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    t0.join();
    t1.join();
    for (int id = 0; id < 2; ++id) {
        ASSERT_EQ(seen[id].size(), 5000u) << id;
        for (int i = 0; i < 5000; ++i)
            ASSERT_EQ(seen[id][i], QStringLiteral("writer %1 text %2").arg(id).arg(i));
    }
    EXPECT_TRUE(view.IsFieldModified(Adc_IR));
}

TEST_F(MonitoringViewTest, WorkerWritesAreDeliveredByTheEventLoop) {
    CVELTMonitoringView view;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (int i = 0; i < 200; ++i) view.SetFieldText(Spo2, std::to_string(i).c_str());
        done = true;
    });
    EXPECT_TRUE(SpinUntil([&] { return done.load(); }));
    worker.join();
    EXPECT_EQ(Text(view, Spo2), QStringLiteral("199"));
}

TEST_F(MonitoringViewTest, DestroyingTheViewReleasesABlockedWriter) {
    auto view = std::make_unique<CVELTMonitoringView>();
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        view->SetFieldText(StatusText, "never shown");
        returned = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (view->PendingCallCount() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    ASSERT_EQ(view->PendingCallCount(), 1u);
    EXPECT_FALSE(returned);
    view.reset();
    worker.join();
    EXPECT_TRUE(returned);
    QCoreApplication::processEvents();  // the wake event for the gone view is dropped
}

TEST_F(MonitoringViewTest, PacketMessageCallsProcessPacketsOfTheNamedLink) {
    EXPECT_EQ(CVELTMonitoringView::PacketMessageType(), 1124);
    CVELTMonitoringView view;
    CountingLink link;
    std::thread poster([&] {
        view.PostPacketMessage(1, &link);
        view.PostPacketMessage(2, &link);  // other codes are ignored
        view.PostPacketMessage(1, nullptr);
        view.PostPacketMessage(1, &link);
    });
    poster.join();  // posting never waits for the GUI thread
    EXPECT_EQ(link.processed, 0);
    QCoreApplication::processEvents();
    EXPECT_EQ(link.processed, 2);

    // Messages for a view that is gone are dropped.
    auto doomed = std::make_unique<CVELTMonitoringView>();
    doomed->PostPacketMessage(1, &link);
    doomed.reset();
    QCoreApplication::processEvents();
    EXPECT_EQ(link.processed, 2);
}

TEST_F(MonitoringViewTest, LinkComesFromTheFactoryWithTheConfiguredSettings) {
    dir_.Write("VELTMonitoring.ini",
               "[connection]\r\nport=COM7\r\nprotocol=3\r\n[sound]\r\nheartbeat=0\r\n");
    config::ConnectionSettings seen{};
    std::atomic<int> destroyed{0};
    bool fields_alive_at_link_deletion = false;
    CountingLink* made = nullptr;
    CVELTMonitoringView* view_ptr = nullptr;
    CVELTMonitoringView::SetLinkFactory([&](const config::ConnectionSettings& s) {
        seen = s;
        made = new CountingLink(&destroyed);
        made->on_destroy = [&] {
            fields_alive_at_link_deletion =
                view_ptr->Field(StatusText) != nullptr && view_ptr->Plot().IsClosed();
        };
        return made;
    });
    {
        CVELTMonitoringView view;
        view_ptr = &view;
        EXPECT_EQ(seen.port, "COM7");
        EXPECT_EQ(seen.protocol, 3);
        EXPECT_FALSE(seen.heartbeat);
        ASSERT_EQ(view.GetLink(), made);
        EXPECT_EQ(made->View(), &view);  // attached once the controls exist
        const std::string computer = platform::ComputerName();
        if (!computer.empty()) {
            EXPECT_EQ(Text(view, ComputerText).toStdString(), computer);
        }
        EXPECT_EQ(destroyed, 0);
    }
    EXPECT_EQ(destroyed, 1);
    EXPECT_TRUE(fields_alive_at_link_deletion);

    // A factory that fails leaves the view without a link.
    CVELTMonitoringView::SetLinkFactory(
        [](const config::ConnectionSettings&) { return static_cast<COximeter*>(nullptr); });
    CVELTMonitoringView without;
    EXPECT_EQ(without.GetLink(), nullptr);
}

TEST_F(MonitoringViewTest, WorkerAppendsReachTheScreenWithCoalescedRepaints) {
    CVELTMonitoringView view;
    view.show();
    ASSERT_TRUE(SpinUntil([&] { return view.isVisible(); }));
    struct PaintCounter : QObject {
        int paints = 0;
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::Paint) ++paints;
            return false;
        }
    } counter;
    view.installEventFilter(&counter);
    std::atomic<bool> done{false};
    const auto start = std::chrono::steady_clock::now();
    std::thread receiver([&] {
        for (int i = 0; i < 3000; ++i) {
            view.AppendSample(static_cast<uint8_t>(50), RGB(0, 0, 0));
            if (i % 100 == 0) std::this_thread::sleep_for(2ms);
        }
        view.AppendPulseTrend(160);
        done = true;
    });
    EXPECT_TRUE(SpinUntil([&] { return done.load(); }));
    receiver.join();
    for (int i = 0; i < 10; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(5ms);
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    EXPECT_GT(counter.paints, 0);
    EXPECT_LE(counter.paints, ms / 16 + 3) << ms << " ms";
    const QImage shot = view.grab().toImage().convertToFormat(QImage::Format_RGB32);
    // The flat trace at value 50 (y 222) replaced the reset dots.
    EXPECT_EQ(shot.pixelColor(500, 222), QColor(0, 0, 0));
    EXPECT_EQ(shot.pixelColor(500, 144), QColor(224, 224, 255));
    view.removeEventFilter(&counter);
}

TEST_F(MonitoringViewTest, AppendedSamplesCarryTheLatestRecordsEventFlags) {
    processing::Measurement measurement(dir_.path());
    CVELTMonitoringView::SetLinkFactory([&](const config::ConnectionSettings&) {
        return new COximeter(nullptr, 1, false, &measurement);
    });
    CVELTMonitoringView view;
    view.AppendSample(128, RGB(0, 0, 0));  // column 0, no flags yet
    measurement.SetEventByte(0x81);
    view.AppendSample(128, RGB(0, 0, 0));  // column 1, x 330
    EXPECT_EQ(view.Plot().EventBits(0), 0);
    EXPECT_EQ(view.Plot().EventBits(1), 0x81);
    const QImage shot = view.grab().toImage().convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(shot.pixelColor(330, 280), QColor(0, 0, 0));
    EXPECT_EQ(shot.pixelColor(330, 287), QColor(0, 0, 0));
    EXPECT_EQ(shot.pixelColor(330, 283), QColor(224, 224, 255));
    EXPECT_EQ(shot.pixelColor(329, 280), QColor(224, 224, 255));
}

TEST_F(MonitoringViewTest, PulseTrendShowsBetweenFieldsButUnderControls) {
    CVELTMonitoringView view;
    // Column 0 and 1 at value 160 (y 177): a segment at x 4 under the label column,
    // and one through the gap between the label column and the IR column at x 104.
    view.AppendPulseTrend(160);
    for (int i = 0; i < 101; ++i) {
        view.AppendSample(128, RGB(0, 0, 0));
        view.AppendPulseTrend(160);
    }
    const QImage shot = view.grab().toImage().convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(shot.pixelColor(104, 177), QColor(0, 255, 0));
    EXPECT_NE(shot.pixelColor(50, 177), QColor(0, 255, 0));  // under " RMS /%"
}

// The full redraw as a repaint shows it: the plot on the view's background.
QImage RedrawPicture(const CVELTMonitoringView& view) {
    QImage picture(843, 436, QImage::Format_RGB32);
    picture.fill(view.palette().color(view.backgroundRole()));
    QPainter painter(&picture);
    view.PaintPlot(painter);
    return picture;
}

// Shows the window and waits until it has been painted once.
bool ShowPainted(QWidget& window, QWidget& view) {
    struct Painted : QObject {
        bool seen = false;
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::Paint) seen = true;
            return false;
        }
    } painted;
    view.installEventFilter(&painted);
    window.show();
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!painted.seen && std::chrono::steady_clock::now() < deadline)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    view.removeEventFilter(&painted);
    return painted.seen;
}

// Over a second sweep, with the pulse trend running into the frame: the window holds
// the incremental picture, which differs from a redraw at the write position (the
// previous sweep's segment) and where the trend lies inside the frame.
void DrawTwoSweepsWithTrend(CVELTMonitoringView& view) {
    for (int i = 0; i < 512 + 100; ++i) {
        view.AppendSample(static_cast<uint8_t>(i < 512 ? 60 : 180), RGB(0, 0, 0));
        view.AppendPulseTrend(200);  // y 137: inside the frame from x 328 on
    }
}

TEST_F(MonitoringViewTest, RepaintAfterAnExposeShowsTheFullRedraw) {
    QWidget window;
    window.resize(843, 436);
    auto* view = new CVELTMonitoringView(&window);
    auto* cover = new QWidget(&window);  // another window lying over part of the plot
    cover->setAutoFillBackground(true);
    cover->setGeometry(400, 30, 200, 200);
    ASSERT_TRUE(ShowPainted(window, *view));
    DrawTwoSweepsWithTrend(*view);
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(20ms);
    }
    const int write_x = 328 + view->Plot().WritePosition();  // x 428: under the cover
    QImage before = view->grab().toImage().convertToFormat(QImage::Format_RGB32);
    // Outside the cover the window shows the appends as drawn.
    EXPECT_EQ(before.pixelColor(350, 137), QColor(0, 255, 0));
    EXPECT_EQ(before.pixelColor(350, 92), QColor(0, 0, 0));  // second sweep at value 180

    cover->hide();  // uncovers (400, 30)..(600, 230)
    ASSERT_TRUE(SpinUntil(
        [&] { return view->grab().toImage().pixelColor(500, 137) != QColor(0, 255, 0); }));
    const QImage after = view->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QImage redraw = RedrawPicture(*view);
    // Inside the uncovered part: exactly the redraw, the gap and no trend included.
    for (int y = 30; y < 230; ++y)
        for (int x = 400; x < 600; ++x)
            ASSERT_EQ(after.pixel(x, y), redraw.pixel(x, y)) << x << "," << y;
    EXPECT_EQ(after.pixelColor(write_x, 212), QColor(224, 224, 255));  // the gap
    EXPECT_EQ(before.pixelColor(write_x, 212), QColor(0, 0, 0));       // was drawn before
    // Outside it, nothing was repainted: the trend in the frame is still there.
    EXPECT_EQ(after.pixelColor(350, 137), QColor(0, 255, 0));

    // A resize repaints all of the view: the whole plot is the redraw.
    view->resize(900, 500);
    ASSERT_TRUE(SpinUntil(
        [&] { return view->grab().toImage().pixelColor(350, 137) != QColor(0, 255, 0); }));
    const QImage resized = view->grab().toImage().convertToFormat(QImage::Format_RGB32);
    for (int y = 24; y < 289; ++y)  // above the frame lie the top-row fields
        for (int x = 328; x < 842; ++x)
            ASSERT_EQ(resized.pixel(x, y), redraw.pixel(x, y)) << x << "," << y;
}

// Uncovered by another application's window, the window is exposed without any
// widget asking for a repaint: the exposed part still shows the redraw.
TEST_F(MonitoringViewTest, WindowExposeShowsTheFullRedrawWhereExposed) {
    CVELTMonitoringView view;
    ASSERT_TRUE(ShowPainted(view, view));
    DrawTwoSweepsWithTrend(view);
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_NE(view.windowHandle(), nullptr);
    QExposeEvent expose(QRegion(400, 30, 200, 200));
    QCoreApplication::sendEvent(view.windowHandle(), &expose);
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    const QImage after = view.grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QImage redraw = RedrawPicture(view);
    for (int y = 30; y < 230; ++y)
        for (int x = 400; x < 600; ++x)
            ASSERT_EQ(after.pixel(x, y), redraw.pixel(x, y)) << x << "," << y;
    EXPECT_EQ(after.pixelColor(350, 137), QColor(0, 255, 0));
}

// The plot's repaints write the window's image themselves: it holds what the view
// paints, at the view's place in the window, but for a widget stacked above it.
TEST_F(MonitoringViewTest, TheWindowsImageShowsThePlotAsTheViewPaintsIt) {
    QWidget window;
    window.resize(900, 500);
    auto* view = new CVELTMonitoringView(&window);
    view->move(31, 17);
    auto* cover = new QWidget(&window);
    cover->setAutoFillBackground(true);
    cover->setPalette(QPalette(QColor(255, 0, 0)));
    const QRect covered(500, 100, 60, 40);  // in the view
    cover->setGeometry(covered.translated(view->pos()));
    ASSERT_TRUE(ShowPainted(window, *view));
    for (int i = 0; i < 700; ++i) {
        view->AppendSample(static_cast<uint8_t>(40 + i * 7 % 200), RGB(0, 0, i % 256));
        if (i % 50 == 0) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(40ms);
    }
    const auto* store = static_cast<const QImage*>(window.backingStore()->paintDevice());
    const QImage shown =
        store->copy(QRect(view->pos(), view->size())).convertToFormat(QImage::Format_RGB32);
    const QImage painted = view->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QRect frame(328, 24, 514, 250);
    int trace = 0;  // pixels of the sweeps' lines
    for (int x = frame.left(); x <= frame.right(); ++x) {
        for (int y = frame.top(); y <= frame.bottom(); ++y) {
            const QRgb seen = covered.contains(x, y) ? qRgb(255, 0, 0) : painted.pixel(x, y);
            ASSERT_EQ(shown.pixel(x, y), seen) << x << "," << y;
            trace += frame.adjusted(1, 1, -1, -1).contains(x, y) && !covered.contains(x, y) &&
                     shown.pixelColor(x, y) != QColor(224, 224, 255);
        }
    }
    EXPECT_GT(trace, 2000);
}

TEST_F(MonitoringViewTest, PlainAppendsAndWindowSwitchesKeepTheIncrementalPicture) {
    CVELTMonitoringView view;
    ASSERT_TRUE(ShowPainted(view, view));
    DrawTwoSweepsWithTrend(view);
    // The coalesced repaints of the appends themselves, and a deactivation of the
    // window, show what was drawn, not a redraw.
    QEvent deactivate(QEvent::WindowDeactivate);
    struct Seen : QObject {
        int count = 0;
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::WindowDeactivate) ++count;
            return false;
        }
    } seen;
    view.Field(Pulse)->installEventFilter(&seen);
    QCoreApplication::sendEvent(&view, &deactivate);
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(seen.count, 1);  // the controls still hear of it
    const int write_x = 328 + view.Plot().WritePosition();
    const QImage shot = view.grab().toImage().convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(shot.pixelColor(350, 137), QColor(0, 255, 0));
    EXPECT_EQ(shot.pixelColor(write_x, 212), QColor(0, 0, 0));
    view.Field(Pulse)->removeEventFilter(&seen);
}

TEST_F(MonitoringViewTest, AValueFieldRepaintsOnlyWhenItsTextChanges) {
    CVELTMonitoringView view;
    view.show();
    ASSERT_TRUE(SpinUntil([&] { return view.isVisible(); }));
    struct Paints : QObject {
        int count = 0;
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::Paint) ++count;
            return false;
        }
    } field_paints, view_paints;
    auto settle = [] {
        for (int i = 0; i < 3; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    };
    view.SetFieldText(Pulse, "72.0");
    settle();
    view.Field(Pulse)->installEventFilter(&field_paints);
    view.installEventFilter(&view_paints);
    view.SetFieldModified(Pulse, false);
    view.SetFieldText(Pulse, "72.0");
    settle();
    EXPECT_EQ(field_paints.count, 0);
    EXPECT_TRUE(view.IsFieldModified(Pulse));  // still marked, as a replacement marks it
    view.SetFieldText(Pulse, "73.0");
    settle();
    EXPECT_EQ(field_paints.count, 1);
    EXPECT_EQ(Text(view, Pulse), QStringLiteral("73.0"));
    EXPECT_EQ(view_paints.count, 0);  // the field paints what lies under it itself

    // A selection in the field is replaced like any other write.
    auto* edit = qobject_cast<QLineEdit*>(view.Field(Pulse));
    edit->selectAll();
    view.SetFieldText(Pulse, "73.0");
    EXPECT_FALSE(edit->hasSelectedText());
    EXPECT_EQ(edit->cursorPosition(), 4);
    view.Field(Pulse)->removeEventFilter(&field_paints);
    view.removeEventFilter(&view_paints);
}

TEST_F(MonitoringViewTest, PrintingDrawsThePlotButNoControls) {
    CVELTMonitoringView view;
    view.SetFieldText(Pulse, "72");
    QImage page(843, 436, QImage::Format_ARGB32_Premultiplied);
    page.fill(Qt::white);
    {
        QPainter painter(&page);
        view.PaintPlot(painter);
    }
    EXPECT_EQ(page.pixelColor(332, 144), QColor(0, 0, 255));
    EXPECT_EQ(page.pixelColor(328, 24), QColor(0, 0, 0));
    EXPECT_EQ(page.pixelColor(120, 218), QColor(Qt::white));  // where Pulse is on screen
    EXPECT_EQ(page.pixelColor(120, 57), QColor(Qt::white));

    QPrinter printer(QPrinter::ScreenResolution);
    printer.setOutputFormat(QPrinter::PdfFormat);
    const std::string pdf = dir_.File("view.pdf");
    printer.setOutputFileName(QString::fromStdString(pdf));
    view.PrintTo(&printer);
    const std::string bytes = dir_.Read("view.pdf");
    ASSERT_GT(bytes.size(), 100u);
    EXPECT_EQ(bytes.substr(0, 5), "%PDF-");
    view.PrintTo(nullptr);
}

TEST_F(MonitoringViewTest, SoundRequestsPlayInTheGuiThreadFromWhereTheFileIs) {
    CVELTMonitoringView view;
    const QString old_cwd = QDir::currentPath();
    TempDir work, program;
    program.Write("Ding.wav", "RIFF");
    platform::SetProgramDirectoryForTesting(program.path());
    ASSERT_EQ(chdir(work.path().c_str()), 0);

    std::thread worker([&] { view.PlaySoundAsync("Ding.wav"); });
    worker.join();  // returned without the GUI thread running anything
    EXPECT_TRUE(view.LastSoundPath().isEmpty());
    QCoreApplication::processEvents();
    EXPECT_EQ(view.LastSoundPath(), QString::fromStdString(program.File("Ding.wav")));

    // The working directory comes first.
    work.Write("Ding.wav", "RIFF");
    view.PlaySoundAsync("Ding.wav");
    QCoreApplication::processEvents();
    EXPECT_EQ(view.LastSoundPath(), QString::fromStdString(work.File("Ding.wav")));

    // Nowhere: nothing plays, one diagnostic line however often it is asked.
    testing_support::DebugCapture capture;
    for (int i = 0; i < 3; ++i) view.PlaySoundAsync("Missing.wav");
    view.PlaySoundAsync(nullptr);
    QCoreApplication::processEvents();
    EXPECT_TRUE(view.LastSoundPath().isEmpty());
    EXPECT_EQ(capture.Count("*** Sound file Missing.wav not found\n"), 1u);
    ASSERT_EQ(chdir(old_cwd.toLocal8Bit().constData()), 0);
}

}  // namespace
