// The main() of every test executable: GoogleTest's, once the process holds
// its slot of the test root.
#include <gtest/gtest.h>

#include "support/TestSlot.h"

int main(int argc, char** argv) {
    zotest::holdTestSlot(argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
