// Running package actions in-process for tests: the package registered once, a project parsed from
// JSON and run by the host's runner with an in-memory log.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/Log.h"
#include "host/Project.h"
#include "host/Runner.h"

namespace quillate::testing {

// An "FTP Connect" action (JSON) opening the connection "Site" to 127.0.0.1 in passive mode as the
// test servers' user; extraProperties ("\"DetailedLogging\":true") are added to its properties.
std::string SiteConnectJson(std::uint16_t port, const std::string& extraProperties = {});

// Registers the package with the host's services the first time it is called.
void EnsurePackageRegistered();

struct TPackageRun {
    TMemoryLogSink Log;
    TVariables Variables;
    TRunOutcome Outcome = TRunOutcome::Failed;

    // Parses and runs the project; the texts of every line the actions wrote (headers excluded).
    std::vector<std::string> Run(const std::string& json);
    // Runs an already loaded project.
    std::vector<std::string> Run(TProject& project);
    std::vector<std::string> ActionLines() const;
    bool AnyLineContains(const std::string& text) const;
};

} // namespace quillate::testing
