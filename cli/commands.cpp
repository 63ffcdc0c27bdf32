#include "commands.h"

#include <QDir>

#include <algorithm>
#include <array>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "datadir.h"
#include "lowercase.h"
#include "mailoperations.h"
#include "messagetable.h"
#include "pop3client.h"
#include "session.h"
#include "tables.h"

const char* const usageText =
    "usage: postsift-cli [--data-dir DIR] COMMAND ...\n"
    "  config show\n"
    "  config set NAME=VALUE...       (password=- reads the password from standard input)\n"
    "  rule add from|to|subject remove|keep TEXT\n"
    "  rule delete from|to|subject TEXT\n"
    "  rule list from|to|subject [all|remove|keep]\n"
    "  receive [--remove] [--json]\n";

namespace {

const char* const databaseName = "Postsift";

[[noreturn]] void usage(const QString& problem) { throw UsageError(problem.toStdString()); }

void print(const QString& line) { std::cout << line.toStdString() << '\n'; }

// ---------------------------------------------------------------------------------------
// Settings

enum class SettingKind { text, port, flag };

struct Setting {
  const char* name;
  SettingKind kind;
  const char* Config::*text;
  bool Config::*flag;
};

const std::array<Setting, 10> settings{{
    {"server", SettingKind::text, &Config::server, nullptr},
    {"port", SettingKind::port, nullptr, nullptr},
    {"username", SettingKind::text, &Config::username, nullptr},
    {"password", SettingKind::text, &Config::password, nullptr},
    {"fromAdd", SettingKind::flag, nullptr, &Config::fromAdd},
    {"toAdd", SettingKind::flag, nullptr, &Config::toAdd},
    {"subjectAdd", SettingKind::flag, nullptr, &Config::subjectAdd},
    {"autoRemove", SettingKind::flag, nullptr, &Config::autoRemove},
    {"autoExecute", SettingKind::flag, nullptr, &Config::autoExecute},
    {"emailProgram", SettingKind::text, &Config::emailProgram, nullptr},
}};

const Setting* findSetting(const QString& name) {
  for (const Setting& setting : settings) {
    if (name == QLatin1String(setting.name)) return &setting;
  }
  return nullptr;
}

// One NAME=VALUE of "config set", checked.
struct Assignment {
  const Setting* setting;
  std::string text;  // text settings (UTF-8)
  uint16_t port = 0;
  bool flag = false;
};

uint16_t parsePort(const QString& value) {
  bool isNumber = false;
  const uint number = value.toUInt(&isNumber, 10);
  if (!isNumber || number < 1 || number > 65535 || value.startsWith(QLatin1Char('+'))) {
    usage(QStringLiteral("port must be a number from 1 to 65535, not \"%1\"").arg(value));
  }
  return uint16_t(number);
}

Assignment parseAssignment(const QString& word) {
  const qsizetype equals = word.indexOf(QLatin1Char('='));
  if (equals <= 0) usage(QStringLiteral("expected NAME=VALUE, not \"%1\"").arg(word));
  const QString name = word.left(equals);
  const QString value = word.mid(equals + 1);
  Assignment assignment{findSetting(name), {}, 0, false};
  if (assignment.setting == nullptr) usage(QStringLiteral("no setting is called \"%1\"").arg(name));
  switch (assignment.setting->kind) {
    case SettingKind::text: assignment.text = value.toStdString(); break;
    case SettingKind::port: assignment.port = parsePort(value); break;
    case SettingKind::flag:
      if (value != QLatin1String("true") && value != QLatin1String("false")) {
        usage(QStringLiteral("%1 must be true or false, not \"%2\"").arg(name, value));
      }
      assignment.flag = value == QLatin1String("true");
      break;
  }
  return assignment;
}

// The first line of standard input, without its line end.
std::string readPasswordLine() {
  std::string line;
  if (!std::getline(std::cin, line)) throw CommandError("no password on standard input");
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

void showConfig(dbDatabase& db) {
  keldraCursor<Config> config(dbCursorForReading, &db);
  if (selectConfig(config) == 0) throw CommandError("the database holds no settings record");
  for (const Setting& setting : settings) {
    QString value;
    switch (setting.kind) {
      case SettingKind::text: {
        const char* text = (*config.get()).*setting.text;
        value = QString::fromUtf8(text != nullptr ? text : "");
        if (setting.text == &Config::password && !value.isEmpty()) value = QStringLiteral("********");
        break;
      }
      case SettingKind::port: value = QString::number(uint16_t(config->port)); break;
      case SettingKind::flag:
        value = (*config.get()).*setting.flag ? QStringLiteral("true") : QStringLiteral("false");
        break;
    }
    print(QString::fromLatin1(setting.name) + QLatin1Char('=') + value);
  }
}

void setConfig(dbDatabase& db, std::vector<Assignment> assignments) {
  for (Assignment& assignment : assignments) {
    if (assignment.setting->text == &Config::password && assignment.text == "-") assignment.text = readPasswordLine();
  }
  keldraCursor<Config> config(dbCursorForUpdate, &db);
  if (selectConfig(config) == 0) throw CommandError("the database holds no settings record");
  // The record's strings point at `assignments` until update copies them in.
  for (const Assignment& assignment : assignments) {
    switch (assignment.setting->kind) {
      case SettingKind::text: (*config.get()).*assignment.setting->text = assignment.text.c_str(); break;
      case SettingKind::port: config->port = int16_t(assignment.port); break;  // its 16 bits
      case SettingKind::flag: (*config.get()).*assignment.setting->flag = assignment.flag; break;
    }
  }
  config.update();
}

// ---------------------------------------------------------------------------------------
// Rules

enum class RuleTable { from, to, subject };

RuleTable parseRuleTable(const QString& word) {
  if (word == QLatin1String("from")) return RuleTable::from;
  if (word == QLatin1String("to")) return RuleTable::to;
  if (word == QLatin1String("subject")) return RuleTable::subject;
  usage(QStringLiteral("expected from, to or subject, not \"%1\"").arg(word));
}

// Calls `work` with a null pointer of the table's record type.
template <class Work>
void withRuleTable(RuleTable table, Work work) {
  switch (table) {
    case RuleTable::from: work(static_cast<EmailFrom*>(nullptr)); break;
    case RuleTable::to: work(static_cast<EmailTo*>(nullptr)); break;
    case RuleTable::subject: work(static_cast<EmailSubject*>(nullptr)); break;
  }
}

const char* duplicateText(RuleTable table) {
  return table == RuleTable::subject ? "This subject has been added already." : "This email has been added already.";
}

void addRule(dbDatabase& db, RuleTable table, bool remove, const std::string& text) {
  const std::string lower = lowerText(text);
  withRuleTable(table, [&](auto* type) {
    using Rule = std::remove_pointer_t<decltype(type)>;
    keldraCursor<Rule> existing(dbCursorForReading, &db);
    if (selectRuleByText(existing, lower.c_str()) > 0) throw CommandError(duplicateText(table));
    insertRule<Rule>(db, lower.c_str(), remove);
  });
}

void deleteRule(dbDatabase& db, RuleTable table, const std::string& text) {
  const std::string lower = lowerText(text);
  withRuleTable(table, [&](auto* type) {
    using Rule = std::remove_pointer_t<decltype(type)>;
    keldraCursor<Rule> rule(dbCursorForUpdate, &db);
    if (selectRuleByText(rule, lower.c_str()) == 0) throw CommandError("no such rule: " + lower);
    rule.remove();
  });
}

void listRules(dbDatabase& db, RuleTable table, const QString& which) {
  withRuleTable(table, [&](auto* type) {
    using Rule = std::remove_pointer_t<decltype(type)>;
    keldraCursor<Rule> rule(dbCursorForReading, &db);
    const uint32_t count = which == QLatin1String("remove") ? selectRemoveRules(rule)
                           : which == QLatin1String("keep") ? selectKeepRules(rule)
                                                            : selectAllRules(rule);
    if (count == 0) return;
    do {
      std::cout << rule.getOid() << '\t' << (rule->text != nullptr ? rule->text : "") << '\t'
                << (rule->remove ? "Yes" : "No") << '\n';
    } while (rule.next() != nullptr);
  });
}

// ---------------------------------------------------------------------------------------
// Receive

std::string jsonString(const QString& text) {
  std::string out = "\"";
  for (unsigned char c : text.toStdString()) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += char(c);
        }
    }
  }
  return out + "\"";
}

void printJson(const MessageTable& table) {
  std::string out = "{\"rows\":[";
  const char* keys[] = {"from", "to", "subject", "mark"};
  for (size_t i = 0; i < table.listedRows.size(); ++i) {
    const MessageTable::Row& row = table.listedRows[i];
    out += i == 0 ? "{" : ",{";
    out += "\"id\":" + std::to_string(row[0].toInt());
    for (int column = 1; column < 5; ++column) {
      out += ",\"" + std::string(keys[column - 1]) + "\":" + jsonString(row[size_t(column)]);
    }
    out += "}";
  }
  out += "],\"status\":[";
  for (size_t panel = 0; panel < 3; ++panel) out += (panel == 0 ? "" : ",") + jsonString(table.listedStatus[panel]);
  std::cout << out << "]}\n";
}

void printRows(const MessageTable& table) {
  for (const MessageTable::Row& row : table.listedRows) {
    print(QStringList(row.begin(), row.end()).join(QLatin1Char('\t')));
  }
  for (const QString& text : table.listedStatus) print(text);
}

void receive(dbDatabase& db, Pop3Client& mailbox, bool remove, bool json) {
  MessageTable table;
  MailOperations operations(db, mailbox, table);
  MailOperations::ReceiveOptions options;
  options.allowAutoRemove = false;  // deleting is asked for by --remove only
  options.forceRemove = remove;
  options.allowAutoExecute = false;
  operations.receive(options);
  if (!table.listed) throw CommandError(table.messages.value(0, QStringLiteral("nothing was received")).toStdString());
  if (json) {
    printJson(table);
  } else {
    printRows(table);
  }
}

// ---------------------------------------------------------------------------------------
// Opening the database

// What start-up asks of a window, answered for a terminal: the message it would show
// becomes the command's error.
class TerminalWindow : public MainWindowPort {
 public:
  int columnWidth(int column) const override {
    static constexpr std::array<int, messageGridColumns> widths{1, 180, 180, 300, 50};
    return widths.at(size_t(column));
  }
  void setColumnWidth(int, int) override {}
  void showMessage(const std::string& text) override { message = text; }
  void closeWindow() override {}
  void hideAndDisableActions() override {}
  void dailyBackup() override {}
  void exitBackup() override {}
  bool mailboxConnected() override { return false; }
  void disconnectMailbox() override {}
  std::string message;
};

}  // namespace

CommandLine parseCommandLine(const QStringList& arguments) {
  CommandLine command;
  qsizetype i = 0;
  while (i < arguments.size() && arguments[i].startsWith(QLatin1String("--"))) {
    if (arguments[i] == QLatin1String("--data-dir")) {
      if (i + 1 >= arguments.size()) usage(QStringLiteral("--data-dir needs a directory"));
      command.dataDirectory = arguments[i + 1];
      i += 2;
    } else if (arguments[i].startsWith(QLatin1String("--data-dir="))) {
      command.dataDirectory = arguments[i].mid(int(qstrlen("--data-dir=")));
      i += 1;
    } else {
      usage(QStringLiteral("unknown option %1").arg(arguments[i]));
    }
  }
  command.words = arguments.mid(i);
  if (command.words.isEmpty()) usage(QStringLiteral("no command given"));
  checkCommand(command.words);
  return command;
}

void checkCommand(const QStringList& words) {
  const QString verb = words.value(0);
  const QString object = words.value(1);
  if (verb == QLatin1String("config")) {
    if (object == QLatin1String("show") && words.size() == 2) return;
    if (object == QLatin1String("set") && words.size() >= 3) {
      for (const QString& word : words.mid(2)) parseAssignment(word);
      return;
    }
    usage(QStringLiteral("expected config show or config set NAME=VALUE..."));
  }
  if (verb == QLatin1String("rule")) {
    if (object == QLatin1String("add") && words.size() == 5) {
      parseRuleTable(words[2]);
      if (words[3] != QLatin1String("remove") && words[3] != QLatin1String("keep")) {
        usage(QStringLiteral("expected remove or keep, not \"%1\"").arg(words[3]));
      }
      return;
    }
    if (object == QLatin1String("delete") && words.size() == 4) {
      parseRuleTable(words[2]);
      return;
    }
    if (object == QLatin1String("list") && (words.size() == 3 || words.size() == 4)) {
      parseRuleTable(words[2]);
      const QString which = words.value(3, QStringLiteral("all"));
      if (which != QLatin1String("all") && which != QLatin1String("remove") && which != QLatin1String("keep")) {
        usage(QStringLiteral("expected all, remove or keep, not \"%1\"").arg(which));
      }
      return;
    }
    usage(QStringLiteral("expected rule add, rule delete or rule list with their arguments"));
  }
  if (verb == QLatin1String("receive")) {
    for (const QString& option : words.mid(1)) {
      if (option != QLatin1String("--remove") && option != QLatin1String("--json")) {
        usage(QStringLiteral("unknown receive option %1").arg(option));
      }
    }
    return;
  }
  usage(QStringLiteral("unknown command \"%1\"").arg(verb));
}

void runCommand(const CommandLine& command, Pop3Client& mailbox) {
  QString error;
  if (!enterDataDirectory(&error, command.dataDirectory, QString::fromLatin1(databaseName))) {
    throw CommandError(error.toStdString());
  }
  keldraDatabase db(dbReadWrite, 1048576, 4194304, 65536, 1);
  AppSession session(db, databaseName);
  TerminalWindow terminal;
  if (!session.start(terminal)) throw CommandError(terminal.message);

  const QStringList& words = command.words;
  try {
    if (words[0] == QLatin1String("config")) {
      if (words[1] == QLatin1String("show")) {
        showConfig(db);
      } else {
        std::vector<Assignment> assignments;
        for (const QString& word : words.mid(2)) assignments.push_back(parseAssignment(word));
        setConfig(db, std::move(assignments));
      }
    } else if (words[0] == QLatin1String("rule")) {
      const RuleTable table = parseRuleTable(words[2]);
      if (words[1] == QLatin1String("add")) {
        addRule(db, table, words[3] == QLatin1String("remove"), words[4].toStdString());
      } else if (words[1] == QLatin1String("delete")) {
        deleteRule(db, table, words[3].toStdString());
      } else {
        listRules(db, table, words.value(3, QStringLiteral("all")));
      }
    } else {
      receive(db, mailbox, words.contains(QLatin1String("--remove")), words.contains(QLatin1String("--json")));
    }
  } catch (...) {
    db.rollback();
    db.close();
    throw;
  }
  db.commit();
  db.close();
}
