// The document the writer and reader benchmarks share: an object of `entries` server tables, each
// with text, integer, real, boolean and list members, about 100 bytes of compact JSON per entry.
#pragma once

#include <cstdint>
#include <string>

#include "tavra/value.h"

namespace tavra::bench {

inline Value serverDocument(std::int64_t entries) {
  Value::Object servers;
  for (std::int64_t i = 0; i < entries; ++i) {
    const std::string name = "server-" + std::to_string(i);
    servers.emplace(name,
                    Value(Value::Object{{"url", Value("https://example.invalid/" + name)},
                                        {"port", Value(8000 + i % 1000)},
                                        {"weight", Value(0.5 + static_cast<double>(i) / 7)},
                                        {"enabled", Value(i % 3 != 0)},
                                        {"tags", Value(Value::Array{Value("a"), Value(i)})}}));
  }
  return Value(Value::Object{{"name", Value("bench")}, {"servers", Value(std::move(servers))}});
}

}  // namespace tavra::bench
