#include "DesignerHost.h"

#include <QPixmap>

#include "design/DesignContract.h"
#include "host/Registration.h"

namespace quillate::designer {

namespace {

class TDesignerRegistrationHost : public IZRRegistrationHost {
public:
    bool IsDesignerPresent() const override { return true; }
};

} // namespace

void LoadDesignerPackages() {
    static bool loaded = false;
    if (loaded)
        return;
    loaded = true;
    TDesignerRegistrationHost host;
    LoadStandardPackages(host);
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
