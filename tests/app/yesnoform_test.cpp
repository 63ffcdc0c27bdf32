#include <QTest>

class Placeholder : public QObject {
  Q_OBJECT
};

QTEST_MAIN(Placeholder)
#include "yesnoform_test.moc"
