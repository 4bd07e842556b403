#include "DesignerHost.h"

#include <QPixmap>

#include "PropertyForm.h"
#include "design/DesignContract.h"
#include "host/Registration.h"
#include "host/WaitAction.h"

namespace quillate::designer {

namespace {

class TDesignerRegistrationHost : public IZRRegistrationHost {
public:
    bool IsDesignerPresent() const override { return true; }
};

// The wait settings every waiting action inherits from the host's wait base.
class TWaitOptionsFrame : public TGenericPropertyPage {
public:
    explicit TWaitOptionsFrame(QWidget* owner)
        : TGenericPropertyPage(QStringLiteral("Wait Options"),
                               TPropertyForm::EditableProperties(TBaseWaitAction::ClassInfo().Properties()), owner) {}
};

constexpr const char* WaitOptionsPageName = "TWaitOptionsFrame";

} // namespace

void LoadDesignerPackages() {
    static bool loaded = false;
    if (loaded)
        return;
    loaded = true;
    TDesignerRegistrationHost host;
    LoadStandardPackages(host);
    TStringList pages = DesignClasses().PageNames();
    if (std::find(pages.begin(), pages.end(), WaitOptionsPageName) == pages.end())
        DesignClasses().RegisterPage(WaitOptionsPageName, [](QWidget* owner) { return new TWaitOptionsFrame(owner); });
}

QIcon PaletteIcon(const std::string& image) {
    QPixmap pixmap;
    std::string_view bytes = image.empty() ? std::string_view() : FindPackageResource(image);
    if (bytes.empty() || !pixmap.loadFromData(reinterpret_cast<const uchar*>(bytes.data()),
                                              static_cast<uint>(bytes.size()), "PNG")) {
        pixmap = QPixmap(16, 16);
        pixmap.fill(Qt::transparent);
    }
    return QIcon(pixmap);
}

} // namespace quillate::designer
