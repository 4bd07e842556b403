#include "FindReplaceDialog.h"

#include "host/VariableUsage.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace quillate::designer {

namespace {

constexpr int ActionRole = Qt::UserRole;
// A long text is cut in the list; the match is in it somewhere.
constexpr int MaxShown = 200;

QString ToQt(const std::string& text) {
    return QString::fromStdString(text);
}

} // namespace

TFindReplaceDialog::TFindReplaceDialog(TProject& project, QWidget* parent)
    : QDialog(parent), FProject(project), FFind(new QLineEdit(this)), FReplace(new QLineEdit(this)),
      FMatchCase(new QCheckBox(tr("Match &case"), this)), FResults(new QTreeWidget(this)),
      FStatus(new QLabel(this)) {
    setWindowTitle(tr("Find and Replace"));
    auto* form = new QFormLayout;
    form->addRow(tr("&Find:"), FFind);
    form->addRow(tr("&Replace with:"), FReplace);
    form->addRow(QString(), FMatchCase);
    FResults->setColumnCount(3);
    FResults->setHeaderLabels({tr("Action"), tr("Where"), tr("Text")});
    FResults->setRootIsDecorated(false);
    FResults->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    FResults->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    connect(FResults, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
        emit ShowAction(reinterpret_cast<const TZRAction*>(item->data(0, ActionRole).value<quintptr>()));
    });

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    auto* find = buttons->addButton(tr("Find &All"), QDialogButtonBox::ActionRole);
    auto* replace = buttons->addButton(tr("Replace A&ll"), QDialogButtonBox::ActionRole);
    find->setDefault(true);
    connect(find, &QPushButton::clicked, this, &TFindReplaceDialog::FindAll);
    connect(replace, &QPushButton::clicked, this, &TFindReplaceDialog::ReplaceAll);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(FResults);
    layout->addWidget(FStatus);
    layout->addWidget(buttons);
    resize(640, 400);
}

void TFindReplaceDialog::FindAll() {
    FResults->clear();
    auto matches = SearchTexts(FProject, FFind->text().toStdString(), FMatchCase->isChecked());
    for (const auto& match : matches) {
        QString text = ToQt(match.Text).replace('\n', " | ");
        if (text.size() > MaxShown)
            text = text.left(MaxShown) + QChar(0x2026);
        auto* item = new QTreeWidgetItem(FResults, {ToQt(match.Where.Action->GetFormattedDescription()),
                                                    ToQt(match.Where.Property), text});
        item->setData(0, ActionRole, QVariant::fromValue(reinterpret_cast<quintptr>(match.Where.Action)));
    }
    FStatus->setText(tr("%n text(s) found", nullptr, static_cast<int>(matches.size())));
}

int TFindReplaceDialog::ReplaceAll() {
    int count = 0;
    try {
        count = ReplaceTexts(FProject, FFind->text().toStdString(), FReplace->text().toStdString(),
                             FMatchCase->isChecked());
    } catch (const std::exception& e) {
        FStatus->setText(ToQt(e.what()));
        return 0;
    }
    FindAll();
    FStatus->setText(tr("%n occurrence(s) replaced", nullptr, count));
    if (count > 0)
        emit Replaced(count);
    return count;
}

} // namespace quillate::designer
