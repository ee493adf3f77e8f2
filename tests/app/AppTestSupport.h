// Shared by the window's test binaries: a QApplication on Qt's offscreen platform for
// the whole run (so no display is needed and nothing appears on a desktop), set up as
// the program sets up its own, and a way to act on a modal dialog once it is showing.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QStyleOptionFrame>
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

class TQtTestEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    application_ = std::make_unique<QApplication>(argc_, argv_);
    InitializeApplication(*application_);
  }
  void TearDown() override { application_.reset(); }

 private:
  int argc_ = 1;
  char name_[16] = "pellamar_tests";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QApplication> application_;
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

// Checks that a panel laid out by Qt shows everything whole: no two controls overlap,
// each lies inside the panel, no caption or button text is cut, every entry of a list
// fits its text field, and each edit's contents area holds the sample text given for it.
inline void ExpectPanelShowsEverything(const QWidget& panel,
                                       const std::vector<std::pair<QLineEdit*, QString>>& samples,
                                       const std::string& where) {
  SCOPED_TRACE(where);
  std::vector<QWidget*> controls;
  for (QWidget* child : panel.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
    if (child->isVisible()) controls.push_back(child);
  ASSERT_GE(controls.size(), 13u);
  const auto name = [](const QWidget* w) { return w->objectName().toStdString(); };
  for (std::size_t i = 0; i < controls.size(); ++i) {
    EXPECT_TRUE(panel.rect().contains(controls[i]->geometry())) << name(controls[i]);
    for (std::size_t j = i + 1; j < controls.size(); ++j)
      EXPECT_FALSE(controls[i]->geometry().intersects(controls[j]->geometry()))
          << name(controls[i]) << " overlaps " << name(controls[j]);
  }
  for (QWidget* control : controls) {
    if (qobject_cast<QLabel*>(control) || qobject_cast<QPushButton*>(control)) {
      EXPECT_GE(control->width(), control->sizeHint().width()) << name(control);
      EXPECT_GE(control->height(), control->sizeHint().height()) << name(control);
    }
    if (auto* list = qobject_cast<QComboBox*>(control)) {
      QStyleOptionComboBox option;
      option.initFrom(list);
      option.rect = list->rect();
      option.frame = true;
      const QRect field = list->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                        QStyle::SC_ComboBoxEditField, list);
      for (int i = 0; i < list->count(); ++i)
        EXPECT_GE(field.width(), list->fontMetrics().horizontalAdvance(list->itemText(i)))
            << list->itemText(i).toStdString();
    }
  }
  for (const auto& [edit, text] : samples) {
    edit->setText(text);
    QStyleOptionFrame option;
    option.initFrom(edit);
    option.rect = edit->rect();
    option.lineWidth = edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit);
    const QRect contents =
        edit->style()->subElementRect(QStyle::SE_LineEditContents, &option, edit);
    const QMargins margins = edit->textMargins();
    // QLineEdit keeps 2 pixels of its own on each side of the text.
    EXPECT_GE(contents.width() - margins.left() - margins.right() - 4,
              edit->fontMetrics().horizontalAdvance(text))
        << name(edit) << " cuts " << text.toStdString();
  }
}
