// Preload mode: cameras described by the harness in the umockdev testbed.
// (Filled in below.)
