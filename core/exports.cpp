// The shared library's own translation unit; every export lives in the
// core archive, which is linked in whole.
