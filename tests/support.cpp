// Shared helpers of the tests live in support.hpp; this unit keeps the
// test executables' link line uniform.
