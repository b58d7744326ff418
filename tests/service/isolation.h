// Test isolation for the service tests: the process moves into private
// mount and network namespaces, with empty tmpfs over /opt (no camera
// library, whatever is installed on the machine) and /tmp (a private pid
// file), and its own loopback, so port 9030 belongs to the test alone.
#ifndef KOBIX_TEST_ISOLATION_H
#define KOBIX_TEST_ISOLATION_H

#include <string>

// Returns "" on success, else what failed.  Needs root (CI runs as root).
std::string enterPrivateNamespaces();

// main() of the isolated test programs: isolation (unless gtest is only
// asked to list the tests), a QCoreApplication, then every test.
int runIsolatedTests(int argc, char **argv);

#endif
