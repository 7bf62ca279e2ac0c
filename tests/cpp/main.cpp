// C++ tests of what the Python surface cannot reach.  Each test file registers cases with
// QB_TEST; this runner executes them all and reports "N passed, N failed".
#include <cstdio>

#include "tests/cpp/harness.hpp"

int main() { return quelbrin_test::run_all(); }
