// Postsift: a pre-download POP3 mail filter. The program reads no arguments.
#include <QApplication>

#include <csignal>
#include <cstdio>

#include "datadir.h"
#include "instanceguard.h"
#include "keldraCursor.h"
#include "mainform.h"
#include "terminationsignals.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Postsift"));

  // A second copy shows the running one and ends.
  InstanceGuard guard;
  switch (guard.claim()) {
    case InstanceGuard::Outcome::running:
      break;
    case InstanceGuard::Outcome::otherShown:
      return 0;
    case InstanceGuard::Outcome::otherSilent:
      std::fprintf(stderr, "Postsift is already running.\n");
      return 0;
  }

  QString error;
  if (!enterDataDirectory(&error)) {
    std::fprintf(stderr, "Postsift: %s\n", qPrintable(error));
    return 1;
  }

  // The one database object of the process, opened by the main window when it is
  // first shown and released with the process.
  keldraDatabase db(dbReadWrite, 1048576, 4194304, 65536, 1);
  TMainForm form(db);
  QObject::connect(&guard, &InstanceGuard::showRequested, &form, [&form] {
    std::fprintf(stderr, "Postsift: a second start asked to show the window.\n");
    form.showOnRequest();
  });
  // A logout, "systemctl --user stop" or kill closes the window the normal way: a
  // running operation is cancelled first, then the closing sequence and the exit
  // backup run.
  onSignals(&form, {SIGTERM, SIGINT, SIGHUP}, [&form] { form.close(); });
  form.showMaximized();
  app.exec();
  return 0;
}
