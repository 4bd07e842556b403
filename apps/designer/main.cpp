// quillate-designer: edits the JSON projects that quillate runs.
#include <QApplication>
#include <QCommandLineParser>
#include <QMessageBox>

#include "DesignerHost.h"
#include "DesignerWindow.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("quillate-designer");
    QCommandLineParser parser;
    parser.setApplicationDescription("Edits the projects that quillate runs.");
    parser.addHelpOption();
    QCommandLineOption options("options", "Options store to use instead of the default one.", "FILE");
    parser.addOption(options);
    parser.addPositionalArgument("project", "Project file (JSON) to open.");
    parser.process(app);

    try {
        quillate::designer::LoadDesignerPackages();
    } catch (const std::exception& e) {
        QMessageBox::critical(nullptr, "quillate-designer", QString::fromStdString(e.what()));
        return 2;
    }
    quillate::designer::TDesignerWindow window(parser.value(options));
    QString error;
    if (!parser.positionalArguments().isEmpty() && !window.OpenProject(parser.positionalArguments().first(), &error))
        QMessageBox::warning(&window, "quillate-designer", error);
    window.show();
    return app.exec();
}
