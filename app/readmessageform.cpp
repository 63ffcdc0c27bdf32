#include "readmessageform.h"

#include "formcontrols.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QLabel* newLabel(const char* objectName, const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(QString::fromLatin1(objectName));
  // Header texts come from the message: never interpreted as markup.
  label->setTextFormat(Qt::PlainText);
  return label;
}

QLabel* newField(const char* objectName, QWidget* parent) {
  QLabel* field = newLabel(objectName, QString(), parent);
  field->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  field->setWordWrap(true);
  field->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  return field;
}

QPlainTextEdit* newBox(const char* objectName, QWidget* parent) {
  auto* box = new QPlainTextEdit(parent);
  box->setObjectName(QString::fromLatin1(objectName));
  box->setLineWrapMode(QPlainTextEdit::NoWrap);
  return box;
}

}  // namespace

TReadMessageForm::TReadMessageForm(QWidget* owner) : QDialog(owner) {
  setObjectName(QStringLiteral("ReadMessageForm"));
  setWindowTitle(QStringLiteral("Read Message"));
  resize(800, 600);
  centreOnOwner(this, owner);

  fromLabel = newLabel("fromLabel", QStringLiteral("From:"), this);
  from = newField("from", this);
  toLabel = newLabel("toLabel", QStringLiteral("To:"), this);
  to = newField("to", this);
  Label1 = newLabel("Label1", QStringLiteral("Subject:"), this);
  subject = newField("subject", this);
  attachmentLabel = newLabel("attachmentLabel", QStringLiteral("Attachment"), this);
  attachment = newBox("attachment", this);
  attachment->setMaximumHeight(90);
  msgLabel = newLabel("msgLabel", QStringLiteral("Message"), this);
  msg = newBox("msg", this);
  cancelButton = new QPushButton(QStringLiteral("&Close"), this);
  cancelButton->setObjectName(QStringLiteral("cancelButton"));
  connect(cancelButton, &QPushButton::clicked, this, &TReadMessageForm::cancelButtonClick);

  auto* header = new QGridLayout;
  header->addWidget(fromLabel, 0, 0, Qt::AlignTop);
  header->addWidget(from, 0, 1);
  header->addWidget(toLabel, 1, 0, Qt::AlignTop);
  header->addWidget(to, 1, 1);
  header->addWidget(Label1, 2, 0, Qt::AlignTop);
  header->addWidget(subject, 2, 1);
  header->setColumnStretch(1, 1);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(cancelButton);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(header);
  layout->addWidget(attachmentLabel);
  layout->addWidget(attachment);
  layout->addWidget(msgLabel);
  layout->addWidget(msg, 1);
  layout->addLayout(buttons);
  cancelButton->setFocus();
}

void TReadMessageForm::showSourceLayout() {
  attachmentLabel->hide();
  attachment->hide();
}

void TReadMessageForm::cancelButtonClick() { accept(); }
