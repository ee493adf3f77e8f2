// The main window on a screen scaled twice over (QT_SCALE_FACTOR=2, as a desktop does on
// a dense screen): its own binary, since Qt reads the factor once, when the application
// starts.
#include <gtest/gtest.h>

#include <QTest>

#include "app/main.h"
#include "tests/app/AppTestSupport.h"
#include "tests/app/ScriptedLookup.h"

namespace {

// Set before gtest's environment makes the application.
const bool kScaled = qputenv("QT_SCALE_FACTOR", "2");

}  // namespace

TEST(MainWindowLayoutScaled, NothingOverlapsOrIsCutAtTwiceTheScale) {
  ASSERT_TRUE(kScaled);
  TScriptedLookup* lookup = nullptr;
  TfrmMain w(ScriptedServices(lookup));
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  ASSERT_DOUBLE_EQ(w.devicePixelRatioF(), 2.0);
  ExpectPanelShowsEverything(*w.Panel1, {{w.edtPort, "65535"}, {w.edtTimeOut, "120"}});
}
