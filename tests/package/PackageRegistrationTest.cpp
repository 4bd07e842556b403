// The package as the host loads it: what it registers with and without the designer, in order, and
// the palette image behind every image name it registers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/Options.h"
#include "host/Registration.h"
#include "host/Scripting.h"
#include "host/Serialization.h"
#include "support/ServerProcess.h"

namespace quillate {
namespace {

struct TTestHost : IZRRegistrationHost {
    explicit TTestHost(bool designer) : Designer(designer) {}
    bool IsDesignerPresent() const override { return Designer; }
    bool Designer;
};

std::string Join(const TStringList& items) {
    std::string text;
    for (const auto& item : items)
        text += " " + item;
    return text;
}

// Every registration the host holds, one line each, service by service in registration order.
std::string RegistrationLines() {
    std::ostringstream out;
    for (const auto& a : ActionService().Actions())
        out << "action " << a.Category << " " << a.Class->ClassName() << " " << a.Image << "\n";
    for (const auto& e : ActionService().PropertyEditors())
        out << "editor " << e.Class->ClassName() << " " << e.PropertyName << " (" << e.PropertyType << ") "
            << e.Editor << "\n";
    for (const auto& o : OptionsService().Options())
        out << "options " << o.Class->ClassName() << " " << o.Image << "\n";
    for (const auto& p : OptionsService().OptionPages())
        out << "option pages " << p.Class->ClassName() << ":" << Join(p.Pages) << "\n";
    for (const auto& p : ActionService().PropertyPages())
        out << "pages " << p.Class->ClassName() << ":" << Join(p.Pages) << "\n";
    for (const auto& c : CoreScriptingService().Constants())
        out << "constant " << c.Name << " = " << std::get<std::int64_t>(c.Value) << "\n";
    for (const auto& e : CoreScriptingService().Enums())
        out << "enum " << e.Name << ":" << Join(e.Values) << "\n";
    for (const auto& m : CoreScriptingService().Methods())
        out << "method " << m.Class->ClassName() << "." << m.MethodName << " as " << m.ScriptName << "\n";
    for (const auto& [name, cls] : TSerializationRegistry::Registrations())
        out << "class " << name << " stored as " << cls->StoredType() << "\n";
    return out.str();
}

// The expected registrations: lines starting "designer " are made only when the designer is present.
std::string ExpectedLines(bool designer) {
    std::ifstream file(SOURCE_DIR "/tests/data/golden/registration.txt");
    const std::string mark = "designer ";
    std::string expected, line;
    while (std::getline(file, line)) {
        const bool designerOnly = line.starts_with(mark);
        if (line.empty() || line[0] == '#' || (designerOnly && !designer))
            continue;
        expected += line.substr(designerOnly ? mark.size() : 0) + "\n";
    }
    return expected;
}

void ClearRegistrations() {
    ActionService().Clear();
    OptionsService().Reset();
    CoreScriptingService().Clear();
    TSerializationRegistry::Clear();
}

class PackageRegistration : public ::testing::TestWithParam<bool> {};

TEST_P(PackageRegistration, RegistersInOrderAndHasAPaletteImageForEveryImageName) {
    const bool designer = GetParam();
    ClearRegistrations();
    TTestHost host(designer);
    LoadPackage(PACKAGE_PATH, host);
    EXPECT_EQ(RegistrationLines(), ExpectedLines(designer));
    if (designer) {
        EXPECT_NE(testing::ReadTextFile("/proc/self/maps").find("libZRInternetPages.so"), std::string::npos);
    }

    std::vector<std::string> images;
    for (const auto& a : ActionService().Actions())
        images.push_back(a.Image);
    for (const auto& o : OptionsService().Options())
        images.push_back(o.Image);
    for (const auto& image : images) {
        // A PNG signature, then the IHDR chunk (13 bytes) with a width and height of 16.
        const std::string_view png = FindPackageResource(image);
        const std::string header("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\0\x10\0\0\0\x10", 24);
        EXPECT_EQ(png.substr(0, header.size()), header) << image;
    }
}

// The designer's case needs the pages library, which is built only where Qt 6 is.
#ifdef QUILLATE_WITH_PAGES
const bool DesignerCases[] = {false, true};
#else
const bool DesignerCases[] = {false};
#endif
INSTANTIATE_TEST_SUITE_P(Package, PackageRegistration, ::testing::ValuesIn(DesignerCases),
                         [](const auto& info) { return info.param ? "WithDesigner" : "WithoutDesigner"; });

#ifdef QUILLATE_WITH_PAGES
// A package whose folder lacks the pages library cannot serve a designer, and says which file it missed.
TEST(PackageRegistrationFailure, MissingPagesLibraryIsAPackageErrorNamingIt) {
    ClearRegistrations();
    testing::TTempDir dir;
    const auto copy = dir.Path() / "libZRInternetActions.so";
    std::filesystem::copy_file(PACKAGE_PATH, copy);
    TTestHost host(true);
    EXPECT_THAT([&] { LoadPackage(copy.string(), host); },
                ::testing::ThrowsMessage<EPackageError>(::testing::AllOf(
                    ::testing::HasSubstr((dir.Path() / "libZRInternetPages.so").string() + ": "),
                    ::testing::HasSubstr("No such file"))));
}
#endif

} // namespace
} // namespace quillate
