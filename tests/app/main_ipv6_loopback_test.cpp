// The window's IPv6 and international-name lookups with the real query component, against
// the loopback test server (NSD on 127.0.0.1, zones in tests/netns/nsd/).
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <string>
#include <vector>

#include "app/QtThreadWaiter.h"
#include "app/main.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/NetNamespace.h"

namespace {

using Lines = std::vector<std::string>;

// Runs one "&Resolver" against 127.0.0.1 and returns the lines the pane gained.
Lines Resolve(TfrmMain& window, int query_type, const std::string& name) {
  window.edtDnsServer->setText("127.0.0.1");
  window.edtName->setText(QString::fromUtf8(name.c_str()));
  window.cbNameType->setCurrentIndex(query_type);
  const std::size_t before = PaneLines(window).size();
  window.btnResolver->click();
  const Lines all = PaneLines(window);
  return Lines(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
}

const Lines kErrorLines = {"====== Error ======", " - El servidor no responde."};

}  // namespace

TEST(WindowIPv6AndIdn, FifthEntryAndInternationalNames) {
  REQUIRE_LOOPBACK_NAMESPACE();
  TQtWaiterInstallation waiter;
  TfrmMain window;
  Lines lines = Resolve(window, 4, "dual.pellamar.test");
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "====== Hosts ======");
  EXPECT_EQ(lines[1], "dual.pellamar.test, 2001:db8::50");
  lines = Resolve(window, 1, "café.pellamar.test");
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[1], "xn--caf-dma.pellamar.test (café.pellamar.test), 127.0.0.60");
  // A name with a symbol IDNA does not allow: the two error lines, nothing sent.
  EXPECT_EQ(Resolve(window, 1, "☃️.pellamar.test"), (Lines{kErrorLines[0], kErrorLines[1]}));
}
