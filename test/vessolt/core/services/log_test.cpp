#include "services/log.h"

#include <QCoreApplication>
#include <gtest/gtest.h>
#include <thread>

#include "services/qt_message_sink.h"
#include "services/window_messages.h"

using namespace ostrel::vessolt;

namespace {

struct Collector : QObject {
    std::vector<std::pair<uintptr_t, intptr_t>> got;
    bool event(QEvent* e) override {
        if (e->type() != ServiceEvent::type())
            return QObject::event(e);
        auto* se = static_cast<ServiceEvent*>(e);
        EXPECT_EQ(se->message, WM_LOGCHANGED);
        got.emplace_back(se->wParam, se->lParam);
        return true;
    }
};

} // namespace

TEST(Log, ConcurrentAddsKeepEachThreadsOrderAndPostPerAdd) {
    TLog log;
    Collector target;
    QtMessageSink sink(&target);
    log.AddListener(&sink);
    constexpr int kThreads = 4, kLines = 10000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i)
                log.Add(std::to_string(t) + ":" + std::to_string(i));
        });
    for (auto& th : threads)
        th.join();
    ASSERT_EQ(log.GetLineCount(), kThreads * kLines);
    std::vector<int> next(kThreads, 0);
    for (const std::string& line : log.GetLinesFrom(0)) {
        int t = line[0] - '0';
        EXPECT_EQ(line.substr(2), std::to_string(next[t]++));
    }
    log.Clear();
    QCoreApplication::sendPostedEvents(&target);
    ASSERT_EQ(target.got.size(), size_t(kThreads * kLines + 1));
    for (size_t i = 0; i + 1 < target.got.size(); ++i) {
        EXPECT_EQ(target.got[i].first, 0u);
        EXPECT_GE(target.got[i].second, 0);
        EXPECT_LT(target.got[i].second, kThreads * kLines);
    }
    // The last post came after every line was in.
    EXPECT_EQ(target.got[target.got.size() - 2], std::make_pair(uintptr_t{0}, intptr_t{kThreads * kLines - 1}));
    EXPECT_EQ(target.got.back(), std::make_pair(uintptr_t{1}, intptr_t{0}));
    EXPECT_EQ(log.GetLine(-1), "");
    EXPECT_EQ(log.GetLine(0), "");

    // After a Clear the numbering starts again; an empty text is a line.
    target.got.clear();
    log.Add("");
    log.Add("second");
    QCoreApplication::sendPostedEvents(&target);
    EXPECT_EQ(target.got, (std::vector<std::pair<uintptr_t, intptr_t>>{{0, 0}, {0, 1}}));
    EXPECT_EQ(log.GetLinesFrom(1), std::vector<std::string>{"second"});
}

TEST(Log, ListenerSlotsAreNotReusedAndReportLayouts) {
    TLog log;
    Collector target;
    std::vector<std::unique_ptr<QtMessageSink>> sinks;
    for (size_t i = 0; i < ListenerList::kSlots; ++i) {
        sinks.push_back(std::make_unique<QtMessageSink>(&target));
        log.AddListener(sinks.back().get());
        log.RemoveListener(sinks.back().get());
    }
    QtMessageSink late(&target);
    log.AddListener(&late);  // a 51st addition is ignored
    log.Add("first");
    QCoreApplication::sendPostedEvents(&target);
    EXPECT_TRUE(target.got.empty());

    char* buf = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&buf, &len);
    log.WriteReport(f, 1);
    log.WriteReport(f, 0);
    std::fclose(f);
    EXPECT_EQ(std::string(buf, len),
              "\n\nMESSAGE LOG\n-----------\n\n0\tfirst\n\n\nMESSAGE LOG\n-----------\n\n    0 first\n");
    std::free(buf);
}
