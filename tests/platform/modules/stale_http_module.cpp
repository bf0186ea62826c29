// An HTTP module of another build: its entry point is there, its identity is not this build's.
// The loader must refuse it without calling anything else in it.
namespace {

struct Entry {
  const char* identity;
  void* newClient;
};

const Entry entry{"tavra-http 0 (Tavra 0.0.0)", nullptr};

}  // namespace

extern "C" __attribute__((visibility("default"))) const Entry* tavra_http_module() {
  return &entry;
}
