// Start-up and closing over a real database, with the main window replaced by a
// recorder of what the sequence asks of it.
#include "session.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <map>
#include <string>
#include <vector>

#include "tables.h"
#include "testsupport.h"

namespace {

class RecordingWindow : public MainWindowPort {
 public:
  std::array<int, messageGridColumns> widths{1, 180, 180, 300, 50};
  std::vector<std::pair<int, int>> restored;  // setColumnWidth calls
  std::vector<std::string> events;
  bool connected = false;

  int columnWidth(int column) const override { return widths.at(size_t(column)); }
  void setColumnWidth(int column, int width) override {
    restored.emplace_back(column, width);
    widths.at(size_t(column)) = width;
  }
  void showMessage(const std::string& text) override { events.push_back("message: " + text); }
  void closeWindow() override { events.push_back("close"); }
  void hideAndDisableActions() override { events.push_back("hide"); }
  void dailyBackup() override { events.push_back("dailyBackup"); }
  void exitBackup() override { events.push_back("exitBackup"); }
  bool mailboxConnected() override {
    events.push_back("isConnected");
    return connected;
  }
  void disconnectMailbox() override { events.push_back("disconnect"); }
};

using Events = std::vector<std::string>;

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(getcwd(previousDirectory, sizeof previousDirectory), previousDirectory);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
  }
  void TearDown() override { ASSERT_EQ(chdir(previousDirectory), 0); }

  static keldraDatabase* newDatabase() { return new keldraDatabase(dbReadWrite, 1048576, 4194304, 65536, 1); }

  // One run of the program: start-up, `work` on the window, closing. Each run has its
  // own database object, as each run of the program has.
  RecordingWindow run(const std::function<void(RecordingWindow&)>& work = {}) {
    std::unique_ptr<keldraDatabase> db(newDatabase());
    AppSession session(*db, name);
    RecordingWindow window;
    EXPECT_TRUE(session.start(window));
    if (work) work(window);
    session.finish(window);
    return window;
  }

  // Stored ColumnWidth rows of grid 0 by column, and the number of Config records.
  struct Stored {
    std::map<int, int> widths;
    uint32_t widthRows = 0;
    uint32_t configs = 0;
  };
  Stored stored() {
    std::unique_ptr<keldraDatabase> db(newDatabase());
    Stored result;
    if (!db->open(name.c_str())) {
      ADD_FAILURE() << "cannot open";
      return result;
    }
    {
      keldraCursor<ColumnWidth> all(dbCursorForReading, db.get());
      result.widthRows = all.select();
      keldraCursor<ColumnWidth> widths(dbCursorForReading, db.get());
      if (selectColumnWidths(widths, 0) > 0) {
        do result.widths[widths->col] = widths->width;
        while (widths.next() != nullptr);
      }
      keldraCursor<Config> config(dbCursorForReading, db.get());
      result.configs = selectConfig(config);
    }
    db->commit();
    db->close();
    return result;
  }

  testsupport::TempDir dir;
  std::string name = testsupport::uniqueName("session");
  char previousDirectory[4096];
};

TEST_F(SessionTest, FirstRunStoresDefaultsAndSecondRunAddsNothing) {
  RecordingWindow first = run();
  EXPECT_TRUE(first.restored.empty());
  EXPECT_EQ(first.events, (Events{"dailyBackup", "hide", "exitBackup", "isConnected"}));

  Stored afterFirst = stored();
  EXPECT_EQ(afterFirst.widthRows, 5u);
  EXPECT_EQ(afterFirst.widths, (std::map<int, int>{{0, 1}, {1, 180}, {2, 180}, {3, 300}, {4, 50}}));
  EXPECT_EQ(afterFirst.configs, 1u);
  {
    std::unique_ptr<keldraDatabase> db(newDatabase());
    ASSERT_TRUE(db->open(name.c_str()));
    {
      keldraCursor<Config> config(dbCursorForReading, db.get());
      ASSERT_EQ(selectConfig(config), 1u);
      EXPECT_STREQ(config->server, "");
      EXPECT_EQ(config->port, 110);
      EXPECT_STREQ(config->username, "");
      EXPECT_STREQ(config->password, "");
      EXPECT_TRUE(config->fromAdd);
      EXPECT_TRUE(config->toAdd);
      EXPECT_FALSE(config->subjectAdd);
      EXPECT_FALSE(config->autoRemove);
      EXPECT_FALSE(config->autoExecute);
      EXPECT_STREQ(config->emailProgram, "/usr/bin/thunderbird");
      EXPECT_STREQ(config->security, "STARTTLS");
    }
    db->commit();
  }

  RecordingWindow second = run();
  EXPECT_EQ(second.restored, (std::vector<std::pair<int, int>>{{0, 1}, {1, 180}, {2, 180}, {3, 300}, {4, 50}}));
  Stored afterSecond = stored();
  EXPECT_EQ(afterSecond.widthRows, 5u);
  EXPECT_EQ(afterSecond.configs, 1u);
}

TEST_F(SessionTest, ChangedWidthsSurviveARestart) {
  run([](RecordingWindow& w) { w.widths = {1, 250, 90, 410, 0}; });
  RecordingWindow next = run();
  EXPECT_EQ(next.widths, (std::array<int, messageGridColumns>{1, 250, 90, 410, 0}));
  EXPECT_EQ(stored().widthRows, 5u);
}

// Only the columns that have a record are restored and stored; missing ones are not
// added again, and records of other grids or of columns the grid lacks are left alone.
TEST_F(SessionTest, PartialWidthTableRestoresAndStoresOnlyItsColumns) {
  {
    std::unique_ptr<keldraDatabase> db(newDatabase());
    ASSERT_TRUE(db->open(name.c_str()));
    insertColumnWidth(*db, 0, 3, 333);
    insertColumnWidth(*db, 1, 2, 22);   // another grid
    insertColumnWidth(*db, 0, 1, 111);
    insertColumnWidth(*db, 0, 9, 99);   // no such column
    db->commit();
  }
  RecordingWindow first = run([](RecordingWindow& w) { w.widths = {5, 6, 7, 8, 9}; });
  EXPECT_EQ(first.restored, (std::vector<std::pair<int, int>>{{3, 333}, {1, 111}}));
  Stored after = stored();
  EXPECT_EQ(after.widthRows, 4u);
  EXPECT_EQ(after.widths, (std::map<int, int>{{1, 6}, {3, 8}, {9, 99}}));
}

TEST_F(SessionTest, ClosingEndsAnOpenMailboxConnectionAndRunsOnce) {
  std::unique_ptr<keldraDatabase> db(newDatabase());
  AppSession session(*db, name);
  RecordingWindow window;
  ASSERT_TRUE(session.start(window));
  window.connected = true;
  window.events.clear();
  session.finish(window);
  EXPECT_EQ(window.events, (Events{"hide", "exitBackup", "isConnected", "disconnect"}));
  session.finish(window);  // a second close of the window
  EXPECT_EQ(window.events, (Events{"hide", "exitBackup", "isConnected", "disconnect"}));
}

TEST_F(SessionTest, FailedOpenShowsMessageAndStoresNothing) {
  // Not a database file: the open is refused.
  const std::vector<char> junk(8192, 'x');
  testsupport::writeFile(dir.file(name + ".kld"), junk);
  std::unique_ptr<keldraDatabase> db(newDatabase());
  AppSession session(*db, name);
  RecordingWindow window;
  EXPECT_FALSE(session.start(window));
  EXPECT_FALSE(session.isOpen());
  session.finish(window);
  EXPECT_EQ(window.events, (Events{"message: Fail to open the database.", "close"}));
  EXPECT_TRUE(window.restored.empty());
  EXPECT_EQ(testsupport::readFile(dir.file(name + ".kld")), junk);
}

TEST_F(SessionTest, SecondProcessOnTheDatabaseWritesNothing) {
  run();  // a database with its first-run records
  const std::vector<char> before = testsupport::readFile(dir.file(name + ".kld"));
  ASSERT_FALSE(before.empty());

  const std::string dbName = name;
  testsupport::Child holder([dbName](testsupport::Child& child) {
    std::unique_ptr<keldraDatabase> db(newDatabase());
    if (!db->open(dbName.c_str())) return 1;
    child.send('o');
    child.hear();  // until the parent is done
    db->close();
    return 0;
  });
  ASSERT_EQ(holder.receive(), 'o');

  std::unique_ptr<keldraDatabase> db(newDatabase());
  AppSession session(*db, name);
  RecordingWindow window;
  window.widths = {9, 9, 9, 9, 9};
  EXPECT_FALSE(session.start(window));
  EXPECT_FALSE(session.isOpen());
  session.finish(window);
  EXPECT_EQ(window.events, (Events{"message: Database cannot be accessed concurrently.", "close"}));
  EXPECT_TRUE(window.restored.empty());

  holder.tell('q');
  EXPECT_EQ(holder.wait(), 0);
  EXPECT_EQ(testsupport::readFile(dir.file(name + ".kld")), before);
}

}  // namespace
