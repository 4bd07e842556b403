// Runs a program with arguments and environment additions, collecting its output and exit code, and
// lets a test send it signals once some text has appeared on its standard output.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace quillate::testing {

struct TProcessResult {
    int ExitCode = -1;
    std::string Out;
    std::string Err;
};

struct TProcessOptions {
    std::map<std::string, std::string> Env;
    std::string Stdin;
    // Called with the output so far whenever more arrives; may call Signal().
    std::function<void(const std::string& out, class TChildProcess& process)> OnOutput;
    int TimeoutSeconds = 60;
};

class TChildProcess {
public:
    TProcessResult Run(const std::vector<std::string>& args, const TProcessOptions& options);
    void Signal(int sig);

private:
    int FPid = -1;
};

} // namespace quillate::testing
