// Shared by the window's test binaries: a QApplication on Qt's offscreen platform for
// the whole run (so no display is needed and nothing appears on a desktop), set up as
// the program sets up its own, and a way to act on a modal dialog once it is showing.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QStyleOptionFrame>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/main.h"

// Every test starts with nothing remembered: the window keeps its form in a private
// configuration folder, emptied before each test, never in the user's own.
class TFreshSettings : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override {
    QSettings(QStringLiteral("Pellamar"), QStringLiteral("pellamar")).clear();
  }
};

class TQtTestEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("XDG_CONFIG_HOME", config_.path().toLocal8Bit());
    ::testing::UnitTest::GetInstance()->listeners().Append(new TFreshSettings);
    application_ = std::make_unique<QApplication>(argc_, argv_);
    InitializeApplication(*application_);
  }
  void TearDown() override { application_.reset(); }

 private:
  int argc_ = 1;
  char name_[16] = "pellamar_tests";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QApplication> application_;
  QTemporaryDir config_;
};

// gtest takes ownership of the environment.
inline ::testing::Environment* const kQtTestEnvironment =
    ::testing::AddGlobalTestEnvironment(new TQtTestEnvironment);

// Lets Qt's event loop run until `done` holds, at most for a generous while; returns
// whether it came to hold. For what Qt does later on its own (a button pressed by its
// Alt key is clicked by a timer a moment after the key).
inline bool WaitUntil(const std::function<bool()>& done, int patience_ms = 20000) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > patience_ms) return false;
    QTest::qWait(5);
  }
  return true;
}

// Runs `action` on the first modal widget that shows up after this call (looking every
// few milliseconds from Qt's event loop, nested loops included), at most for a generous
// while. A dialog that never shows makes the action never run, which the caller sees.
inline void OnNextModal(std::function<void(QWidget*)> action) {
  auto* timer = new QTimer(qApp);  // deletes itself below
  auto clock = std::make_shared<QElapsedTimer>();
  clock->start();
  QObject::connect(timer, &QTimer::timeout, timer, [timer, clock, action = std::move(action)] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr && clock->elapsed() < 20000) return;
    timer->stop();
    timer->deleteLater();
    if (modal != nullptr) action(modal);
  });
  timer->start(5);
}

// Checks that a panel laid out by Qt shows everything whole: no two controls overlap or
// leave the panel, no caption or button is narrower than its text, every list entry fits
// the list's text field, and each edit's text area holds the sample given for it.
inline void ExpectPanelShowsEverything(const QWidget& panel,
                                       const std::vector<std::pair<QLineEdit*, QString>>& samples) {
  const QList<QWidget*> controls = panel.findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
  ASSERT_EQ(controls.size(), 15);
  for (QWidget* a : controls) {
    const std::string name = a->objectName().toStdString();
    EXPECT_TRUE(panel.rect().contains(a->geometry())) << name;
    for (QWidget* b : controls)
      EXPECT_TRUE(a == b || !a->geometry().intersects(b->geometry()))
          << name << " overlaps " << b->objectName().toStdString();
    if (qobject_cast<QLabel*>(a) || qobject_cast<QAbstractButton*>(a)) {
      EXPECT_GE(a->width(), a->sizeHint().width()) << name;
    }
  }
  for (QComboBox* list : panel.findChildren<QComboBox*>()) {
    QStyleOptionComboBox option;
    option.initFrom(list);
    const QRect field = list->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                      QStyle::SC_ComboBoxEditField, list);
    for (int i = 0; i < list->count(); ++i)
      EXPECT_GE(field.width(), list->fontMetrics().horizontalAdvance(list->itemText(i)));
  }
  for (const auto& [edit, text] : samples) {
    QStyleOptionFrame option;
    option.initFrom(edit);
    option.lineWidth = edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit);
    const QRect area = edit->style()->subElementRect(QStyle::SE_LineEditContents, &option, edit);
    // QLineEdit keeps 2 pixels of its own on each side of the text.
    EXPECT_GE(area.width() - 4, edit->fontMetrics().horizontalAdvance(text)) << text.toStdString();
  }
}

// The result pane's text, one entry per line; nothing for an empty pane.
inline std::vector<std::string> PaneLines(const TfrmMain& window) {
  const QString text = window.memResult->toPlainText();
  if (text.isEmpty()) return {};
  std::vector<std::string> lines;
  for (const QString& line : text.split(QLatin1Char('\n'))) lines.push_back(line.toStdString());
  return lines;
}
