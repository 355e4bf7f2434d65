// The native conformance_test program: a child mode when the lookup cases
// start this program as their tool, GoogleTest otherwise.
#include <gtest/gtest.h>

#include "seam.h"

int main(int argc, char** argv)
{
    if (const int rc = seam::child_main(argc, argv); rc >= 0)
        return rc;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
