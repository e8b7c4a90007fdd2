// The about box: name, version and the end-user agreement.
#pragma once
#include <QDialog>

namespace orvane::ui {

class AboutBox : public QDialog {
  Q_OBJECT

 public:
  explicit AboutBox(QWidget* parent = nullptr);
};

// The agreement shown in the about box.
const char* end_user_agreement();

}  // namespace orvane::ui
