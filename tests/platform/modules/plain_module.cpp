// A shared library that is no HTTP module: it has no tavra_http_module.
extern "C" __attribute__((visibility("default"))) int tavra_test_plain_module() {
  return 1;
}
