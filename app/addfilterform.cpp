#include "addfilterform.h"

#include "formcontrols.h"

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace {

QRadioButton* newRadio(const char* objectName, const QString& caption, QWidget* parent) {
  auto* radio = new QRadioButton(caption, parent);
  radio->setObjectName(QString::fromLatin1(objectName));
  return radio;
}

}  // namespace

TAddFilterForm::TAddFilterForm(QWidget* owner) : QDialog(owner) {
  setObjectName(QStringLiteral("AddFilterForm"));
  setWindowTitle(QStringLiteral("Add Filter Form"));

  filterPanel = new QWidget(this);
  filterPanel->setObjectName(QStringLiteral("filterPanel"));
  fromRadio = newRadio("fromRadio", QStringLiteral("From"), filterPanel);
  toRadio = newRadio("toRadio", QStringLiteral("To"), filterPanel);
  subjectRadio = newRadio("subjectRadio", QStringLiteral("Subject"), filterPanel);
  fromRadio->setChecked(true);
  auto* fields = new QHBoxLayout(filterPanel);
  fields->setContentsMargins(0, 0, 0, 0);
  fields->addWidget(new QLabel(QStringLiteral("If"), filterPanel));
  for (QRadioButton* radio : {fromRadio, toRadio, subjectRadio}) fields->addWidget(radio);
  fields->addWidget(new QLabel(QStringLiteral("contains the following string:"), filterPanel));
  fields->addStretch(1);
  connect(fromRadio, &QRadioButton::clicked, this, &TAddFilterForm::fromRadioClick);
  connect(toRadio, &QRadioButton::clicked, this, &TAddFilterForm::toRadioClick);
  connect(subjectRadio, &QRadioButton::clicked, this, &TAddFilterForm::subjectRadioClick);

  text = new QLineEdit(this);
  text->setObjectName(QStringLiteral("text"));
  text->setMinimumWidth(420);
  text->installEventFilter(this);

  removeRadio = newRadio("removeRadio", QStringLiteral("Remove Email."), this);
  keepRadio = newRadio("keepRadio", QStringLiteral("Keep Email."), this);
  removeRadio->setChecked(true);
  auto* kinds = new QButtonGroup(this);  // a group of its own, apart from the fields
  kinds->addButton(removeRadio);
  kinds->addButton(keepRadio);
  auto* kindRow = new QHBoxLayout;
  kindRow->addWidget(removeRadio);
  kindRow->addWidget(keepRadio);
  kindRow->addStretch(1);

  okButton = new QPushButton(QStringLiteral("&Okay"), this);
  okButton->setObjectName(QStringLiteral("okButton"));
  cancelButton = new QPushButton(QStringLiteral("&Cancel"), this);
  cancelButton->setObjectName(QStringLiteral("cancelButton"));
  for (QPushButton* button : {okButton, cancelButton}) {
    button->setAutoDefault(false);
    button->setDefault(false);
  }
  connect(okButton, &QPushButton::clicked, this, &TAddFilterForm::okButtonClick);
  connect(cancelButton, &QPushButton::clicked, this, &TAddFilterForm::cancelButtonClick);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(okButton);
  buttons->addWidget(cancelButton);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(filterPanel);
  layout->addWidget(text);
  layout->addLayout(kindRow);
  layout->addLayout(buttons);
  adjustSize();
  centreOnOwner(this, owner);
  text->setFocus();
}

int TAddFilterForm::chosenField() const {
  if (toRadio->isChecked()) return 2;
  if (subjectRadio->isChecked()) return 3;
  return 1;
}

void TAddFilterForm::fixField(int field) {
  QRadioButton* radios[] = {fromRadio, toRadio, subjectRadio};
  for (int i = 0; i < 3; ++i) {
    radios[i]->setChecked(i + 1 == field);
    radios[i]->setEnabled(i + 1 == field);
  }
}

void TAddFilterForm::fromRadioClick() { text->setText(storedFromText); }
void TAddFilterForm::toRadioClick() { text->setText(storedToText); }
void TAddFilterForm::subjectRadioClick() { text->setText(storedSubjectText); }
void TAddFilterForm::okButtonClick() { accept(); }
void TAddFilterForm::cancelButtonClick() { reject(); }

bool TAddFilterForm::eventFilter(QObject* watched, QEvent* event) {
  if (watched == text && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      okButton->setFocus();
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}
