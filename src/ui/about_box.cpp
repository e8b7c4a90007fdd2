#include "ui/about_box.hpp"

#include "ui/app_icon.hpp"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QVBoxLayout>

namespace orvane::ui {

const char* end_user_agreement() {
  return "END-USER AGREEMENT\n"
         "\n"
         "1. Use. You may install and run Orvane Emulator on any number of computers to test, demonstrate "
         "and train with monitoring hosts and the equipment attached to them.\n"
         "\n"
         "2. No safety function. The emulator imitates a monitoring station. It is not a safety device and "
         "must not be the only means of detecting a hazardous condition. Values it shows or reports may be "
         "simulated.\n"
         "\n"
         "3. Data. The files the station writes (settings, channel and sensor lists, events, history and "
         "logs) stay in its station directory and on the host you configure. Nothing is sent anywhere "
         "else.\n"
         "\n"
         "4. Remote commands. A configured host can stop and start the station, read and write files in its "
         "directory, and restart or power off this computer. Run the station only on networks you trust.\n"
         "\n"
         "5. No warranty. The software is provided \"as is\", without warranty of any kind. In no event "
         "shall the authors be liable for any claim, damages or other liability arising from its use.\n"
         "\n"
         "By using the software you accept these terms.";
}

AboutBox::AboutBox(QWidget* parent) : QDialog(parent) {
  setObjectName("AboutBox");
  setWindowTitle("About");

  auto* icon = new QLabel(this);
  icon->setPixmap(app_icon().pixmap(64, 64));
  auto* name = new QLabel("<b style='font-size:16pt'>Orvane Emulator</b>", this);
  name->setObjectName("lbl_name");
  auto* version = new QLabel(QStringLiteral("Version %1").arg(ORVANE_VERSION), this);
  version->setObjectName("lbl_version");
  auto* what = new QLabel("A remote monitoring station: 32 sensor channels, events, history, command server.", this);
  what->setWordWrap(true);

  auto* agreement = new QPlainTextEdit(end_user_agreement(), this);
  agreement->setObjectName("memo_agreement");
  agreement->setReadOnly(true);

  auto* ok = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  connect(ok, &QDialogButtonBox::accepted, this, &QDialog::accept);

  auto* titles = new QVBoxLayout;
  titles->addWidget(name);
  titles->addWidget(version);
  titles->addWidget(what);
  auto* head = new QHBoxLayout;
  head->addWidget(icon, 0, Qt::AlignTop);
  head->addLayout(titles, 1);
  auto* box = new QVBoxLayout(this);
  box->addLayout(head);
  box->addWidget(agreement, 1);
  box->addWidget(ok);
  setFixedSize(480, 420);
}

}  // namespace orvane::ui
