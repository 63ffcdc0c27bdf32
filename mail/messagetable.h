// The message list kept in memory: what the window's grid shows, for the command line
// and for tests. It remembers the complete list and counts of the last receive, since a
// remove that follows on the same connection empties the list.
#pragma once

#include <array>
#include <vector>

#include "mailoperations.h"

class MessageTable : public MessageListPort {
 public:
  using Row = std::array<QString, 5>;

  int rowCount() const override { return int(rows.size()); }
  void setRowCount(int count) override;
  QString cell(int column, int row) const override;
  void setCell(int column, int row, const QString& text) override;
  void sortByMark() override;
  void showProgress(int maximum) override { progressMaximum = maximum; }
  void setProgress(int position) override { progressPosition = position; }
  void hideProgress() override {}
  void setStatusText(int panel, const QString& text) override;
  void showMessage(const QString& text) override { messages << text; }
  void setAddSettings(bool, bool, bool) override {}
  void startProgram(const QString& path) override { startedPrograms << path; }
  void showMessageView(const MessageView& view) override { views.push_back(view); }
  void messagesListed() override;

  std::vector<Row> rows{Row{}};  // row 0: the header row
  std::array<QString, 3> status;
  int progressMaximum = 0;
  int progressPosition = 0;
  QStringList messages;          // every message shown, in order
  QStringList startedPrograms;
  std::vector<MessageView> views;
  // The last receive's rows (without the header row) and counts, once it listed them.
  bool listed = false;
  std::vector<Row> listedRows;
  std::array<QString, 3> listedStatus;
};
