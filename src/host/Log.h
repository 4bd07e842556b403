// The run log: tagged lines from actions, written as text or JSON lines, and progress on a terminal.
#pragma once

#include <array>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace quillate {

enum TStatusTag : int { stInformation = 0, stSuccess = 1, stWarning = 2, stError = 3 };

const char* StatusTagName(TStatusTag tag);

struct TLogEntry {
    std::chrono::system_clock::time_point Time;
    std::string Action;
    TStatusTag Tag = stInformation;
    std::string Text;
    int Group = 0;
};

// The clear texts a run must never show (passwords, --env values): the runner passes every log line
// and progress text through Apply before any sink sees it. Letter case is ignored (ASCII), so that a
// server echoing a password in capitals is caught too. Secrets shorter than MinimumLength are not
// kept: masking every "ab" of a log would blank it and protect nothing that short. A secret is also
// masked in base64, wherever it stands in the encoded bytes (SASL PLAIN and LOGIN, HTTP Basic).
class TSecretMask {
public:
    static constexpr std::size_t MinimumLength = 4;
    static constexpr std::string_view Mask = "********";

    void Add(std::string_view secret);
    std::string Apply(std::string_view text) const;

private:
    void AddText(std::string_view text);
    mutable std::mutex FLock;
    std::vector<std::string> FSecrets; // lower case, longest first, so that the longest match wins
    // The bytes a secret starts with (lower case): Apply tries the secrets only where the text has one.
    std::array<bool, 256> FFirstBytes{};
};

// A text as a log line may show it on a terminal or in a text file: control characters (but tab), DEL,
// C1 controls and bytes that are not UTF-8 become \xNN, so that a server cannot move the cursor,
// ring the bell or forge a line of its own.
std::string EscapeControls(std::string_view text);

class ILogSink {
public:
    virtual ~ILogSink() = default;
    virtual void Write(const TLogEntry& entry) = 0;
};

class IProgressSink {
public:
    virtual ~IProgressSink() = default;
    virtual void Progress(const std::string& action, const std::string& text, int percent) = 0;
    virtual void Clear() = 0;
};

// One line redrawn in place on a terminal, at most ten times a second.
class TTerminalProgress : public IProgressSink {
public:
    explicit TTerminalProgress(std::FILE* out);
    void Progress(const std::string& action, const std::string& text, int percent) override;
    void Clear() override;
    // Log lines call these around their own output so that the two never mix on one line.
    void Hide();
    void Restore();

private:
    void Draw();
    std::mutex FLock;
    std::FILE* FOut;
    std::string FLine;
    bool FVisible = false;
    std::chrono::steady_clock::time_point FLastDraw{};
};

// HH:MM:SS  TAG    text, groups indented by two blanks; colour only when asked.
class TTextLogSink : public ILogSink {
public:
    TTextLogSink(std::FILE* out, bool colour, TTerminalProgress* progress = nullptr);
    void Write(const TLogEntry& entry) override;
    static std::string Format(const TLogEntry& entry, bool colour);

private:
    std::mutex FLock;
    std::FILE* FOut;
    bool FColour;
    TTerminalProgress* FProgress;
};

// One JSON object a line: time, action, tag, text, group.
class TJsonlLogSink : public ILogSink {
public:
    explicit TJsonlLogSink(std::FILE* out);
    void Write(const TLogEntry& entry) override;

private:
    std::mutex FLock;
    std::FILE* FOut;
};

// Progress as JSON lines beside a jsonl log: time, action, progress (percent, -1 for none), text.
// A record is written when the percentage or the action changes, and otherwise at most ten times a
// second, so that a fast transfer does not flood the reader.
class TJsonlProgressSink : public IProgressSink {
public:
    explicit TJsonlProgressSink(std::FILE* out);
    void Progress(const std::string& action, const std::string& text, int percent) override;
    void Clear() override {}

private:
    std::mutex FLock;
    std::FILE* FOut;
    std::string FLastAction;
    int FLastPercent = -2;
    std::chrono::steady_clock::time_point FLastWrite{};
};

class TMemoryLogSink : public ILogSink {
public:
    void Write(const TLogEntry& entry) override;
    std::vector<TLogEntry> Entries() const;
    // The texts of all lines, or of the lines with one tag.
    std::vector<std::string> Texts() const;
    std::vector<std::string> Texts(TStatusTag tag) const;
    bool Contains(const std::string& text) const;

private:
    mutable std::mutex FLock;
    std::vector<TLogEntry> FEntries;
};

class TTeeLogSink : public ILogSink {
public:
    void Add(ILogSink* sink) { FSinks.push_back(sink); }
    void Write(const TLogEntry& entry) override;

private:
    std::vector<ILogSink*> FSinks;
};

} // namespace quillate
