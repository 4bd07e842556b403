#include "pages/telnet/TelnetScriptPage.h"

#include "host/Action.h"

#include <limits>

namespace zr::pages {

TTelnetScriptEditor::TTelnetScriptEditor(QWidget* parent) : TItemDialog(parent, "Telnet Script Item") {
    auto& f = Fields();
    f.Edit("Script text :", "SendText");
    f.Edit("Wait for :", "WaitFor");
    f.Number("Wait timeout :", "WaitTimeout", 0, std::numeric_limits<int>::max())->setSuffix(" ms");
    f.Check("Enabled", "Enabled");
    f.Check("Fail if timeout occurs", "FailIfTimedOut");
    Finish();
}

namespace {

QString TextOf(const quillate::TSerializableObject& item, const char* property) {
    const auto value = item.GetPropertyValue(property);
    if (const auto* number = std::get_if<std::int64_t>(&value))
        return QString::number(*number);
    return QString::fromStdString(std::get<std::string>(value));
}

} // namespace

TZRTelnetScrptFrame::TZRTelnetScrptFrame(QWidget* owner)
    : TScriptPage(
          owner, {"Script Text", "WaitFor", "Timeout"}, {{"Add", "telnet.scriptitem"}}, "TTelnetScriptItem",
          [](const quillate::TSerializableObject& item) {
              return QStringList{TextOf(item, "SendText"), TextOf(item, "WaitFor"),
                                 TextOf(item, "WaitTimeout")};
          },
          [](QWidget* parent, quillate::TSerializableObject& item) {
              return TTelnetScriptEditor(parent).Edit(item);
          }) {}

} // namespace zr::pages
