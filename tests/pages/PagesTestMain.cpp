// The pages need a QApplication and the package and its pages registered before any test.
#include "package/ZRInternetReg.h"

#include <QApplication>
#include <gtest/gtest.h>

extern "C" void ZRRegisterPages();

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    qputenv("QT_QPA_PLATFORM", "offscreen"); // also where ctest's environment is not set
    QApplication app(argc, argv);
    zr::RegisterPackage(false);
    ZRRegisterPages();
    return RUN_ALL_TESTS();
}
