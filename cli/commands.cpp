#include "commands.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QRegularExpression>


#include <algorithm>
#include <array>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "databasebackup.h"
#include "datadir.h"
#include "mailoperations.h"
#include "messagetable.h"
#include "pop3client.h"
#include "ruleimport.h"
#include "ruletables.h"
#include "session.h"
#include "settings.h"
#include "tables.h"

const char* const usageText =
    "usage: postsift-cli [--data-dir DIR] COMMAND ...\n"
    "  config show\n"
    "  config set NAME=VALUE...       (password=- reads the password from standard input)\n"
    "  rule add from|to|subject remove|keep TEXT\n"
    "  rule delete from|to|subject TEXT\n"
    "  rule list from|to|subject [all|remove|keep] [--search TEXT]\n"
    "  rule import from|to|subject FILE [--keep|--remove]   (one rule a line; default --remove)\n"
    "  rule export from|to|subject FILE [--keep|--remove]   (all rules unless one kind is named)\n"
    "  receive [--remove] [--json|--summary] [--skip-if-busy]\n"
    "  backup FILE                    (an existing FILE is replaced)\n"
    "  restore FILE\n"
    "  test                           (log in, count the messages, log out)\n"
    "  trust HOST:PORT SHA256         (accept that certificate for that server)\n";

namespace {

const char* const databaseName = "Postsift";

[[noreturn]] void usage(const QString& problem) { throw UsageError(problem.toStdString()); }

void print(const QString& line) { std::cout << line.toStdString() << '\n'; }

// ---------------------------------------------------------------------------------------
// Settings

enum class SettingKind { text, port, flag, security };

struct SettingName {
  const char* name;
  SettingKind kind;
  std::string Settings::*text;
  bool Settings::*flag;
};

const std::array<SettingName, 11> settingNames{{
    {"server", SettingKind::text, &Settings::server, nullptr},
    {"port", SettingKind::port, nullptr, nullptr},
    {"username", SettingKind::text, &Settings::username, nullptr},
    {"password", SettingKind::text, &Settings::password, nullptr},
    {"fromAdd", SettingKind::flag, nullptr, &Settings::fromAdd},
    {"toAdd", SettingKind::flag, nullptr, &Settings::toAdd},
    {"subjectAdd", SettingKind::flag, nullptr, &Settings::subjectAdd},
    {"autoRemove", SettingKind::flag, nullptr, &Settings::autoRemove},
    {"autoExecute", SettingKind::flag, nullptr, &Settings::autoExecute},
    {"emailProgram", SettingKind::text, &Settings::emailProgram, nullptr},
    {"security", SettingKind::security, &Settings::security, nullptr},
}};

const SettingName* findSetting(const QString& name) {
  for (const SettingName& setting : settingNames) {
    if (name == QLatin1String(setting.name)) return &setting;
  }
  return nullptr;
}

// One NAME=VALUE of "config set", checked.
struct Assignment {
  const SettingName* setting;
  std::string text;  // text settings (UTF-8)
  uint16_t port = 0;
  bool flag = false;
};

Assignment parseAssignment(const QString& word) {
  const qsizetype equals = word.indexOf(QLatin1Char('='));
  if (equals <= 0) usage(QStringLiteral("expected NAME=VALUE, not \"%1\"").arg(word));
  const QString name = word.left(equals);
  const QString value = word.mid(equals + 1);
  Assignment assignment{findSetting(name), {}, 0, false};
  if (assignment.setting == nullptr) usage(QStringLiteral("no setting is called \"%1\"").arg(name));
  switch (assignment.setting->kind) {
    case SettingKind::text: assignment.text = value.toStdString(); break;
    case SettingKind::port: {
      const std::optional<uint16_t> port = parsePortText(value.toStdString());
      if (!port) usage(QString::fromLatin1(badPortText) + QStringLiteral(" Not \"%1\".").arg(value));
      assignment.port = *port;
      break;
    }
    case SettingKind::security:
      if (!isSecurityChoice(value.toStdString())) usage(QStringLiteral("security must be None, STARTTLS or SSL/TLS, not \"%1\"").arg(value));
      assignment.text = value.toStdString();
      break;
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

Settings storedSettings(dbDatabase& db) {
  std::optional<Settings> settings = readSettings(db);
  if (!settings) throw CommandError("the database holds no settings record");
  return *settings;
}

void showConfig(dbDatabase& db) {
  const Settings settings = storedSettings(db);
  for (const SettingName& setting : settingNames) {
    std::string value;
    switch (setting.kind) {
      case SettingKind::text:
      case SettingKind::security:
        value = settings.*setting.text;
        if (setting.text == &Settings::password && !value.empty()) value = "********";
        break;
      case SettingKind::port: value = std::to_string(settings.port); break;
      case SettingKind::flag: value = settings.*setting.flag ? "true" : "false"; break;
    }
    std::cout << setting.name << '=' << value << '\n';
  }
}

void setConfig(dbDatabase& db, const std::vector<Assignment>& assignments) {
  Settings settings = storedSettings(db);
  for (const Assignment& assignment : assignments) {
    switch (assignment.setting->kind) {
      case SettingKind::security: settings.security = assignment.text; break;
      case SettingKind::text:
        settings.*assignment.setting->text =
            assignment.setting->text == &Settings::password && assignment.text == "-" ? readPasswordLine()
                                                                                       : assignment.text;
        break;
      case SettingKind::port: settings.port = assignment.port; break;
      case SettingKind::flag: settings.*assignment.setting->flag = assignment.flag; break;
    }
  }
  writeSettings(db, settings);
}

// ---------------------------------------------------------------------------------------
// Rules

RuleTable parseRuleTable(const QString& word) {
  if (word == QLatin1String("from")) return RuleTable::from;
  if (word == QLatin1String("to")) return RuleTable::to;
  if (word == QLatin1String("subject")) return RuleTable::subject;
  usage(QStringLiteral("expected from, to or subject, not \"%1\"").arg(word));
}

// "rule list TABLE [all|remove|keep] [--search TEXT]".
struct RuleListing {
  RuleTable table;
  RuleFilter filter = RuleFilter::all;
  QString search;
};

RuleListing parseRuleListing(const QStringList& words) {
  RuleListing listing{parseRuleTable(words.value(2)), RuleFilter::all, {}};
  for (qsizetype i = 3; i < words.size(); ++i) {
    const QString& word = words[i];
    if (word == QLatin1String("--search")) {
      if (i + 1 >= words.size()) usage(QStringLiteral("--search needs a text"));
      listing.search = words[++i];
    } else if (i == 3 && word == QLatin1String("all")) {
      listing.filter = RuleFilter::all;
    } else if (i == 3 && word == QLatin1String("remove")) {
      listing.filter = RuleFilter::remove;
    } else if (i == 3 && word == QLatin1String("keep")) {
      listing.filter = RuleFilter::keep;
    } else {
      usage(QStringLiteral("expected all, remove, keep or --search TEXT, not \"%1\"").arg(word));
    }
  }
  return listing;
}

void listRules(dbDatabase& db, const RuleListing& listing) {
  for (const RuleRow& rule : searchRules(db, listing.table, listing.filter, listing.search)) {
    std::cout << rule.oid << '\t' << rule.text.toStdString() << '\t' << (rule.remove ? "Yes" : "No") << '\n';
  }
}

void importRuleFile(dbDatabase& db, RuleTable table, const QString& path, bool remove) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) throw CommandError("cannot read " + path.toStdString());
  const QByteArray bytes = file.readAll();
  const std::vector<std::string> texts = parseRuleFile(std::string_view(bytes.constData(), size_t(bytes.size())));
  print(importReportText(importRules(db, table, remove, texts)));
}

void exportRuleFile(dbDatabase& db, RuleTable table, const QString& path, RuleFilter filter) {
  const std::vector<RuleRow> rows = searchRules(db, table, filter, QString());
  const std::string text = ruleFileOf(rows);
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly) || file.write(text.data(), qint64(text.size())) != qint64(text.size()) ||
      !file.commit()) {
    throw CommandError("cannot write " + path.toStdString());
  }
  print(QStringLiteral("%1 rules exported").arg(rows.size()));
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

enum class ReceiveOutput { rows, json, summary };

void receive(dbDatabase& db, Pop3Client& mailbox, bool remove, ReceiveOutput output) {
  MessageTable table;
  MailOperations operations(db, mailbox, table);
  MailOperations::ReceiveOptions options;
  options.allowAutoRemove = false;  // deleting is asked for by --remove only
  options.forceRemove = remove;
  options.allowAutoExecute = false;
  operations.receive(options);
  if (!table.listed) throw CommandError(table.messages.value(0, QStringLiteral("nothing was received")).toStdString());
  switch (output) {
    case ReceiveOutput::json: printJson(table); break;
    case ReceiveOutput::rows: printRows(table); break;
    case ReceiveOutput::summary: {
      // One line a run, for the journal of a timer.
      const int received = int(table.listedRows.size());
      const int marked = operations.removeCount - operations.skippedByLastRemove;
      print(remove ? QStringLiteral("Received %1 messages, removed %2.").arg(received).arg(marked)
                   : QStringLiteral("Received %1 messages, %2 marked for removal.").arg(received).arg(marked));
      break;
    }
  }
}

// ---------------------------------------------------------------------------------------
// Backup and restore

// The backup window's questions answered for a terminal: the command line names the
// file to write or to restore, so replacing it is what was asked for.
class TerminalBackupPort : public BackupPort {
 public:
  bool askYesNo(const std::string&) override { return true; }
  void showMessage(const std::string& text) override { messages.push_back(text); }
  bool askForDisk(int) override { return true; }
  void showProgress(int) override {}
  void hideProgress() override {}
  void processEvents() override {}
  // The messages shown, as one line.
  std::string said() const {
    std::string line;
    for (const std::string& message : messages) line += (line.empty() ? "" : " ") + message;
    return line;
  }
  std::vector<std::string> messages;
};

void backupTo(keldraDatabase& db, const QString& file) {
  TerminalBackupPort port;
  DatabaseBackup backup(db, port);
  if (!backup.manualBackup(file.toStdString())) throw CommandError(port.said());
  print(QString::fromLatin1(backupCompletedText));
}

void restoreFrom(keldraDatabase& db, const QString& file) {
  TerminalBackupPort port;
  DatabaseBackup backup(db, port);
  if (backup.restore(file.toStdString()) != DatabaseBackup::RestoreResult::completed) throw CommandError(port.said());
  print(QStringLiteral("Restore Completed."));
}

// ---------------------------------------------------------------------------------------
// Certificates and the connection test

// "HOST:PORT" and a SHA-256 fingerprint in hex (colons and case as the user likes).
struct TrustArguments {
  std::string host;
  int port = 0;
  std::string fingerprint;
};

TrustArguments parseTrust(const QStringList& words) {
  if (words.size() != 3) usage(QStringLiteral("expected trust HOST:PORT SHA256"));
  const qsizetype colon = words[1].lastIndexOf(QLatin1Char(':'));
  const std::optional<uint16_t> port =
      colon > 0 ? parsePortText(words[1].mid(colon + 1).toStdString()) : std::optional<uint16_t>();
  if (!port) usage(QStringLiteral("expected HOST:PORT with a port from 1 to 65535, not \"%1\"").arg(words[1]));
  QString hex = words[2];
  hex.remove(QLatin1Char(':'));
  hex = hex.toLower();
  static const QRegularExpression sha256(QStringLiteral("^[0-9a-f]{64}$"));
  if (!sha256.match(hex).hasMatch()) usage(QStringLiteral("expected a SHA-256 fingerprint of 64 hex digits"));
  return {words[1].left(colon).toStdString(), *port, hex.toStdString()};
}

// A certificate the command line does not ask about: refused, with how to trust it.
[[noreturn]] void refuseCertificate(const Pop3CertificateError& certificate) {
  std::string message = certificate.what();
  if (!certificate.changed) {
    message += " To trust it: postsift-cli trust " + certificate.host.toStdString() + ":" +
               std::to_string(certificate.port) + " " + readableFingerprint(certificate.fingerprint).toStdString();
  }
  throw CommandError(message);
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
    if (object == QLatin1String("list") && words.size() >= 3) {
      parseRuleListing(words);
      return;
    }
    if ((object == QLatin1String("import") || object == QLatin1String("export")) &&
        (words.size() == 4 || words.size() == 5)) {
      parseRuleTable(words[2]);
      if (words.size() == 5 && words[4] != QLatin1String("--keep") && words[4] != QLatin1String("--remove")) {
        usage(QStringLiteral("expected --keep or --remove, not \"%1\"").arg(words[4]));
      }
      return;
    }
    usage(QStringLiteral("expected rule add, rule delete or rule list with their arguments"));
  }
  if (verb == QLatin1String("backup") || verb == QLatin1String("restore")) {
    if (words.size() != 2 || words[1].isEmpty()) usage(QStringLiteral("expected %1 FILE").arg(verb));
    return;
  }
  if (verb == QLatin1String("test") && words.size() == 1) return;
  if (verb == QLatin1String("trust")) {
    parseTrust(words);
    return;
  }
  if (verb == QLatin1String("receive")) {
    for (const QString& option : words.mid(1)) {
      static const QStringList options = {QStringLiteral("--remove"), QStringLiteral("--json"),
                                          QStringLiteral("--summary"), QStringLiteral("--skip-if-busy")};
      if (!options.contains(option)) {
        usage(QStringLiteral("unknown receive option %1").arg(option));
      }
    }
    return;
  }
  usage(QStringLiteral("unknown command \"%1\"").arg(verb));
}

void runCommand(const CommandLine& command, Pop3Client& mailbox) {
  // A file named on the command line is taken from where the command was given.
  const bool ruleFile = command.words.value(0) == QLatin1String("rule") &&
                        (command.words.value(1) == QLatin1String("import") || command.words.value(1) == QLatin1String("export"));
  const QString file = QFileInfo(command.words.value(ruleFile ? 3 : 1)).absoluteFilePath();
  QString error;
  if (!enterDataDirectory(&error, command.dataDirectory, QString::fromLatin1(databaseName))) {
    throw CommandError(error.toStdString());
  }
  keldraDatabase db(dbReadWrite, 1048576, 4194304, 65536, 1);
  AppSession session(db, databaseName);
  TerminalWindow terminal;
  if (!session.start(terminal)) {
    // A timer's run while the window works on the database: skipped, not failed, so
    // the timer neither retries nor reports a failure; the next run comes in time.
    if (terminal.message == concurrentAccessText && command.words.contains(QLatin1String("--skip-if-busy"))) {
      print(QStringLiteral("The Postsift window has the database open; this run is skipped."));
      return;
    }
    throw CommandError(terminal.message);
  }

  const QStringList& words = command.words;
  try {
    if (words[0] == QLatin1String("config")) {
      if (words[1] == QLatin1String("show")) {
        showConfig(db);
      } else {
        std::vector<Assignment> assignments;
        for (const QString& word : words.mid(2)) assignments.push_back(parseAssignment(word));
        setConfig(db, assignments);
      }
    } else if (words[0] == QLatin1String("rule")) {
      const RuleTable table = parseRuleTable(words[2]);
      if (words[1] == QLatin1String("add")) {
        if (!addRule(db, table, words[4], words[3] == QLatin1String("remove"))) {
          throw CommandError(duplicateRuleText(table).toStdString());
        }
      } else if (words[1] == QLatin1String("import")) {
        importRuleFile(db, table, file, words.value(4) != QLatin1String("--keep"));
      } else if (words[1] == QLatin1String("export")) {
        const QString kind = words.value(4);
        exportRuleFile(db, table, file, kind == QLatin1String("--keep")     ? RuleFilter::keep
                                        : kind == QLatin1String("--remove") ? RuleFilter::remove
                                                                            : RuleFilter::all);
      } else if (words[1] == QLatin1String("delete")) {
        const std::optional<uint32_t> rule = findRule(db, table, words[3]);
        if (!rule) throw CommandError("no such rule: " + words[3].toStdString());
        deleteRule(db, table, *rule);
      } else {
        listRules(db, parseRuleListing(words));
      }
    } else if (words[0] == QLatin1String("backup")) {
      backupTo(db, file);
    } else if (words[0] == QLatin1String("restore")) {
      restoreFrom(db, file);
    } else if (words[0] == QLatin1String("trust")) {
      const TrustArguments trust = parseTrust(words);
      trustFingerprint(db, trust.host, trust.port, trust.fingerprint);
    } else if (words[0] == QLatin1String("test")) {
      MessageTable table;
      MailOperations operations(db, mailbox, table);
      print(operations.testConnection());
    } else {
      const ReceiveOutput output = words.contains(QLatin1String("--json"))      ? ReceiveOutput::json
                                   : words.contains(QLatin1String("--summary")) ? ReceiveOutput::summary
                                                                                : ReceiveOutput::rows;
      receive(db, mailbox, words.contains(QLatin1String("--remove")), output);
    }
  } catch (const RuleFileError& error) {
    db.rollback();
    db.close();
    throw CommandError(error.what());
  } catch (const Pop3CertificateError& certificate) {
    db.rollback();
    db.close();
    refuseCertificate(certificate);
  } catch (...) {
    if (db.isOpen()) {
      db.rollback();
      db.close();
    }
    throw;
  }
  if (db.isOpen()) {  // a restore closes it
    db.commit();
    db.close();
  }
}
