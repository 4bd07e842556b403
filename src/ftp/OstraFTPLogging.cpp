#include "ftp/OstraFTPLogging.h"

namespace zr {

TFTPLogging::TFTPLogging(quillate::TZRAction* action)
    : FAction(action), FProgress(std::make_shared<TFileTransferProgressLogging>()) {}

void TFTPLogging::SendMessage(const std::string& text, quillate::TStatusTag tag) {
    if (!FAction)
        return;
    static const std::string placeholder = "%__ActionName__%";
    std::string line = text;
    std::string name = FAction->GetActionName();
    for (std::size_t pos = line.find(placeholder); pos != std::string::npos;
         pos = line.find(placeholder, pos + name.size()))
        line.replace(pos, placeholder.size(), name);
    FAction->SendMessage(line, tag);
}

} // namespace zr
