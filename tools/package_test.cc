// The Debian package that `make package` builds (`make test` builds it
// first): unpacked into a scratch folder, its programs run, its man page
// reads, and it depends on the libraries they use.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support/test_util.h"

#ifndef IDFERRY_PACKAGE
#error "IDFERRY_PACKAGE must name the package file make package builds"
#endif

TEST(Package, UnpacksRunsAndDocuments) {
  testutil::TempDir dir;
  const std::string root = dir.path(), deb = IDFERRY_PACKAGE, version = IDFERRY_VERSION;
  const testutil::ProcResult unpack = testutil::run_process({"/usr/bin/dpkg-deb", "-x", deb, root});
  ASSERT_EQ(0, unpack.status) << deb << " (made by make package): " << unpack.err;
  struct Case {
    std::vector<std::string> argv;
    std::string start, holds;  // of standard output
  } cases[] = {
      {{root + "/usr/bin/idferry", "--version"}, "idferry " + version + "\n", ""},
      {{root + "/usr/bin/idferry", "--help"}, "Brelmont SSO users migration utility.\n", "--tls-ca"},
      {{root + "/usr/bin/idferry-appcert", "--help"}, "Usage: idferry-appcert NAME", "--server"},
      {{"/usr/bin/man", "-l", root + "/usr/share/man/man1/idferry.1.gz"}, "IDFERRY(1)",
       "idferry " + version},
      {{"/bin/ls", root + "/usr/share/doc/idferry"}, "README.md\ncopyright\n", ""},
      {{"/usr/bin/dpkg-deb", "-f", deb, "Package", "Version", "Depends"},
       "Package: idferry\nVersion: " + version + "\n", "libgsoap-2.8.124"},
  };
  for (const Case& c : cases) {
    const testutil::ProcResult r = testutil::run_process(c.argv);
    EXPECT_EQ(0, r.status) << c.argv[0] << ": " << r.err;
    EXPECT_EQ(c.start, r.out.substr(0, c.start.size())) << c.argv[0];
    EXPECT_NE(std::string::npos, r.out.find(c.holds)) << c.argv[0] << ": " << r.out;
  }
}
