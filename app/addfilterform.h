// The rule dialog: one rule typed or taken from a message. "If [From|To|Subject]
// contains the following string: TEXT", then Remove Email. or Keep Email. The rule
// editor opens it for one table (the other two choices disabled); the message list
// opens it with a message's cells, and choosing a field puts that field's cell into
// the text.
#pragma once

#include <QDialog>

class QLineEdit;
class QPushButton;
class QRadioButton;
class QWidget;

class TAddFilterForm : public QDialog {
  Q_OBJECT

 public:
  explicit TAddFilterForm(QWidget* owner = nullptr);

  QWidget* filterPanel;
  QRadioButton* fromRadio;
  QRadioButton* toRadio;
  QRadioButton* subjectRadio;
  QLineEdit* text;
  QRadioButton* removeRadio;
  QRadioButton* keepRadio;
  QPushButton* okButton;
  QPushButton* cancelButton;

  // The texts a click on From, To or Subject puts into `text`.
  QString storedFromText;
  QString storedToText;
  QString storedSubjectText;

  // The chosen field: 1 From, 2 To, 3 Subject.
  int chosenField() const;
  // Chooses field 1..3 and allows no other choice.
  void fixField(int field);

 public slots:
  void fromRadioClick();
  void toRadioClick();
  void subjectRadioClick();
  void okButtonClick();
  void cancelButtonClick();

 protected:
  // Enter in the text moves the focus to Okay instead of closing the dialog.
  bool eventFilter(QObject* watched, QEvent* event) override;
};
