// Large rule tables in the rule editor: importing a list of 100,000 lines into each
// rule table, reopening the database, and the editor listing and searching them.
//
//   ruleeditor_bench [RULES]      (default: 100000)
//
// Reported: the time of each step and the peak resident memory of the process after it.
#include <QApplication>
#include <QLineEdit>

#include <sys/resource.h>

#include <cstdio>
#include <string>

#include "benchsupport.h"
#include "filterform.h"
#include "ruleimport.h"
#include "tables.h"

namespace {

double peakMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024.0;
}

// A block list of `count` lines, as users import them: addresses and domains, some
// repeated, some upper case, a comment now and then.
std::string blockList(int count, const char* kind) {
  std::string file;
  for (int i = 0; i < count; i++) {
    if (i % 1000 == 0) file += "# part " + std::to_string(i / 1000) + "\n";
    const unsigned mixed = unsigned(i) * 2654435761u;
    file += (i % 3 == 0 ? "User" : "") + std::to_string(mixed % 100000) + "." + kind + std::to_string(i) + ".Example\r\n";
  }
  return file;
}

void report(const char* step, double seconds) { std::printf("%-50s %8.3f s   peak RSS %7.1f MiB\n", step, seconds, peakMiB()); }

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
  QApplication app(argc, argv);
  const int count = argc > 1 ? std::atoi(argv[1]) : 100000;
  char directory[] = "/tmp/ruleeditor_bench.XXXXXX";
  if (mkdtemp(directory) == nullptr) return 1;
  const std::string file = std::string(directory) + "/bench.kld";
  std::printf("%d rules in each rule table\n", count);
  report("start", 0);

  {
    keldraDatabase db(dbReadWrite, 1048576, 4194304, 65536, 1);
    if (!db.open("ruleeditor_bench", file.c_str())) return 1;
    const std::pair<RuleTable, const char*> tables[] = {
        {RuleTable::from, "from"}, {RuleTable::to, "to"}, {RuleTable::subject, "subject"}};
    for (const auto& [table, name] : tables) {
      const std::string list = blockList(count, name);
      const double start = nowSeconds();
      const ImportReport imported = importRules(db, table, true, parseRuleFile(list));
      db.commit();
      char step[64];
      std::snprintf(step, sizeof step, "import %d lines into %s (%d added)", count, name, imported.added);
      report(step, nowSeconds() - start);
    }
    db.close();
  }

  keldraDatabase db(dbReadWrite, 1048576, 4194304, 65536, 1);
  double start = nowSeconds();
  if (!db.open("ruleeditor_bench", file.c_str())) return 1;
  report("open the database", nowSeconds() - start);

  TFilterForm editor(db);
  editor.ruleTable = RuleTable::from;
  editor.show();
  QCoreApplication::processEvents();
  start = nowSeconds();
  editor.searchButtonClick();
  QCoreApplication::processEvents();  // the grid paints its first screen
  char step[64];
  std::snprintf(step, sizeof step, "editor: list all %zu rules", editor.rows().size());
  report(step, nowSeconds() - start);

  editor.text->setText(QStringLiteral("user1"));
  start = nowSeconds();
  editor.searchButtonClick();
  QCoreApplication::processEvents();
  std::snprintf(step, sizeof step, "editor: search \"user1\" (%zu found)", editor.rows().size());
  report(step, nowSeconds() - start);

  editor.close();
  db.close();
  unlink(file.c_str());
  rmdir(directory);
  return 0;
}
