#include "pages/icq/ICQFrame.h"

#include "pages/FieldBindings.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRadioButton>

namespace zr::pages {

TICQFrame::TICQFrame(QWidget* owner) : TBoundPage(owner, "Send ICQ Message") {
    auto* number = new QLineEdit;
    auto* password = new QLineEdit;
    auto* toICQ = new QRadioButton("To ICQs :");
    auto* toSMS = new QRadioButton("Send SMSs to :");
    auto* recipients = new QPlainTextEdit;
    auto* message = new QPlainTextEdit;
    auto* server = new QLineEdit;
    auto* port = NewPortSpin();
    Form()->addRow("ICQ number:", number);
    Form()->addRow("Password:", password);
    Form()->addRow(toICQ);
    Form()->addRow(toSMS);
    Form()->addRow(recipients);
    Form()->addRow("Message:", message);
    Form()->addRow("Login server:", server);
    Form()->addRow("Server port:", port);

    Binder().Text(number, "ICQNumber");
    Binder().Password(password, "Cookie");
    Binder().Radio({toICQ, toSMS}, "SendSMS");
    BindMemo(Binder(), recipients, {"ToICQNumber"});
    BindMemo(Binder(), message, {"TheMessage"});
    Binder().Text(server, "Server");
    Binder().Number(port, "Port");
}

} // namespace zr::pages
