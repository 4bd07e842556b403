#include "host/Runner.h"

#include "CaseFiles.h"
#include "host/MainThread.h"
#include "host/Project.h"

#include <gtest/gtest.h>
#include <thread>

using namespace quillate;
using namespace quillate::testing;

namespace {

// The log as the text sink writes it, without the time at the start of each line.
std::string Transcript(const TMemoryLogSink& log) {
    std::string transcript;
    for (const auto& entry : log.Entries()) {
        std::string lines = TTextLogSink::Format(entry, false);
        for (std::size_t start = 0; start < lines.size(); start = lines.find('\n', start) + 1)
            transcript += lines.substr(start + 10, lines.find('\n', start) + 1 - start - 10);
    }
    return transcript;
}

// Stopping a run is shown through the command line's interrupt test.
TEST(Runner, ProjectsProduceTheirOutcomeAndLog) {
    const char* const outcomes[] = {"Succeeded", "Failed", "Stopped"};
    for (const TCase& c : ReadBlocks("runs.txt")) {
        SCOPED_TRACE(c.Where);
        TProject project = TProject::Parse(c.Sections.at("project"), "t.json");
        TVariables variables;
        for (const auto& [name, value] : project.Variables)
            variables.Set(name, value);
        TMemoryLogSink log;
        TRunner runner(project.Actions, variables, log);
        if (auto secret = c.Sections.find("secret"); secret != c.Sections.end()) {
            std::size_t eq = secret->second.find('=');
            variables.Set(secret->second.substr(0, eq), secret->second.substr(eq + 1));
            runner.Secrets().Add(secret->second.substr(eq + 1));
        }
        EXPECT_EQ(outcomes[static_cast<int>(runner.Run())], c.Sections.at("outcome"));
        EXPECT_EQ(Transcript(log), c.Sections.at("log") + "\n");
    }
}

TEST(MainThread, SynchronizeRunsOnTheMainThreadAndRethrows) {
    auto& main = TMainThread::Instance();
    ASSERT_TRUE(main.IsMainThread());
    std::atomic<bool> done{false};
    bool ranOnMain = false;
    std::string error;
    int ticks = 0;
    auto timer = main.SetTimer(std::chrono::milliseconds(10), [&ticks] { ++ticks; });
    std::thread worker([&] {
        main.Synchronize([&] { ranOnMain = main.IsMainThread(); });
        try {
            main.Synchronize([] { throw std::runtime_error("from main"); });
        } catch (const std::exception& e) {
            error = e.what();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        done = true;
        main.Wake();
    });
    main.RunUntil([&] { return done.load(); });
    worker.join();
    main.KillTimer(timer);
    EXPECT_TRUE(ranOnMain);
    EXPECT_EQ(error, "from main");
    EXPECT_GE(ticks, 2);
}

} // namespace
