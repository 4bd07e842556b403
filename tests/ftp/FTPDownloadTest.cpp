// "FTP Download" where a case of tests/data/ftp cannot reach: files past 4 GiB and the time limit.
#include "PackageTestSupport.h"
#include "ftp/ZRFTPDownloadFileAction.h"

#include <algorithm>
#include <filesystem>
#include <fmt/format.h>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <regex>
#include <thread>

using namespace quillate;
using namespace quillate::testing;
using ::testing::Contains;
using ::testing::ElementsAre;
namespace fs = std::filesystem;

namespace {

constexpr std::int64_t GiB = std::int64_t{1} << 30;
const char* ResumeLine = "(Both resume & overwrite are enabled. Incomplete local file will be resumed.)";
const char* OverwriteLine = "(Both resume & overwrite are enabled. Intact local file will be overwritten.)";

std::string Tail(const fs::path& path, std::size_t n) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(-static_cast<std::streamoff>(n), std::ios::end);
    std::string s(n, '\0');
    in.read(s.data(), static_cast<std::streamsize>(n));
    return s;
}

// A sparse file of `size` bytes on the server whose last bytes are `tail`.
void PutSparseFile(TFTPTestServer& server, const std::string& name, std::int64_t size,
                   const std::string& tail) {
    server.PutFile(name, "");
    fs::resize_file(server.Home() / name, static_cast<std::uintmax_t>(size));
    std::fstream file(server.Home() / name, std::ios::in | std::ios::out | std::ios::binary);
    if (!file.seekp(size - static_cast<std::int64_t>(tail.size())).write(tail.data(), std::ssize(tail)))
        throw std::runtime_error("cannot make the sparse file " + name);
}

// The names in a folder, sorted.
std::vector<std::string> Names(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Whether some file in `folder` has bytes in it; a file that goes while it is looked at has none.
bool AnyBytesIn(const fs::path& folder) {
    for (const auto& entry : fs::directory_iterator(folder)) {
        std::error_code error;
        auto size = fs::file_size(entry.path(), error);
        if (!error && size > 0)
            return true;
    }
    return false;
}

// Stops the run once a download is being written beside the files of `folder` (a name starting with a
// dot): a download that starts a file past 4 GiB over is never let run to its end.
TPackageRun::TDuring StopOnceWrittenBeside(TPackageRun& run, const fs::path& folder) {
    return [&run, folder](TRunner& runner, TProject&) {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (!run.Finished && std::chrono::steady_clock::now() < until) {
            auto names = Names(folder);
            if (std::any_of(names.begin(), names.end(), [](const std::string& n) { return n.starts_with("."); })) {
                StopFromMainThread(runner);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    };
}

class FTPDownload : public TFTPServerActionTest {
protected:
    // A download of `file` under its own name into the local folder.
    std::string Fetch(const std::string& description, const std::string& file,
                      const std::string& more = "") const {
        return SiteStep("action.ftp.file.download",
                        R"("FileName":")" + file + R"(","UseFileName":true,"DownloadDir":")" +
                            FLocal.Path().string() + "\"" + more,
                        R"("description":")" + description + R"(","ignoreFailure":true)");
    }
    TTempDir FLocal{"quillate-download"};
};

// Sizes past 4 GiB compare as 64-bit values: 4 GiB + 1 KiB breaks an unsigned 32-bit comparison, 6 GiB + 1
// KiB a signed one. A shorter local copy is resumed from its size; an intact one is fetched again from the
// start beside it (that run is stopped once it has begun, and the old copy is left whole).
TEST_P(FTPDownload, FilesPast4GiBAreResumedOrFetchedAgainByTheirSize) {
    const std::string tail = RandomBytes(8192, 1);
    for (std::int64_t size : {4 * GiB + 1024, 6 * GiB + 1024}) {
        for (bool intact : {false, true}) {
            SCOPED_TRACE(fmt::format("{} bytes, {}", size, intact ? "intact" : "cut short"));
            const std::int64_t localSize = intact ? size : size - 4096;
            const fs::path local = FLocal.Path() / "big.bin";
            PutSparseFile(*FServer, "big.bin", size, tail);
            WriteTextFile(local, "");
            fs::resize_file(local, static_cast<std::uintmax_t>(localSize));
            TPackageRun run;
            run.Run(Project(Fetch("big", "big.bin", R"(,"AllowResume":true,"AllowOverwrite":true)")),
                    StopOnceWrittenBeside(run, FLocal.Path()));
            if (intact) {
                EXPECT_EQ(run.Outcome, TRunOutcome::Stopped);
                EXPECT_THAT(run.Lines(), Contains(OverwriteLine));
                EXPECT_THAT(Names(FLocal.Path()), ElementsAre("big.bin"));
            } else {
                EXPECT_THAT(run.Lines(), ElementsAre("Connection to host : 127.0.0.1", ResumeLine,
                                                     "File Downloaded : 4096 bytes"));
                EXPECT_TRUE(Tail(local, 4096) == tail.substr(4096)) << "the resumed bytes differ";
            }
            EXPECT_EQ(static_cast<std::int64_t>(fs::file_size(local)), size);
            EXPECT_EQ(run.Outstanding, 0);
        }
    }
}

TEST_P(FTPDownload, TheTimeLimitAbortsTheTransferAndTheConnectionStaysUsable) {
    const std::int64_t size = GiB;
    const std::string small = RandomBytes(2048, 2);
    PutSparseFile(*FServer, "big.bin", size, "end");
    FServer->PutFile("small.bin", small);
    TPackageRun run;
    run.Run(Project(Fetch("big", "big.bin", R"(,"EnableTimeout":true)") + Fetch("small", "small.bin")),
            [&](TRunner&, TProject& project) {
                // The limit runs out once bytes arrive: a data connection dropped before the server
                // took the RETR leaves pyftpdlib waiting for another one, and the reply owed for ever.
                auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
                while (!AnyBytesIn(FLocal.Path()) && !run.Finished && std::chrono::steady_clock::now() < until)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                // What the monitor thread does when the limit runs out.
                std::static_pointer_cast<zr::TFTPDownloadFileAction>(project.Actions[1])->DoTimeout();
            });
    auto lines = run.LinesOf("big [");
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0], "FTP Download Timed Out after 10 minutes.");
    EXPECT_TRUE(
        std::regex_match(lines[1], std::regex("\\d+ / " + std::to_string(size) + " bytes downloaded\\.")))
        << lines[1];
    EXPECT_EQ(lines[2], "Aborting FTP operation...");
    EXPECT_EQ(lines[3], "File Download failed.");
    EXPECT_THAT(run.LinesOf("small ["), ElementsAre("File Downloaded : 2048 bytes"));
    // The aborted download leaves nothing behind, neither under its name nor beside it.
    EXPECT_THAT(Names(FLocal.Path()), ElementsAre("small.bin"));
    EXPECT_EQ(ReadTextFile(FLocal.Path() / "small.bin"), small);
}

INSTANTIATE_TEST_SUITE_P(Servers, FTPDownload, AllFTPServers, ServerName);

} // namespace
