// The seed of a test's randomness: CONTENT_CHECK_SEED when it is set, so that
// a failure can be run again exactly, otherwise a fresh one. Either way it is
// printed with the test's output.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

inline std::uint64_t test_seed() {
  const char* given = std::getenv("CONTENT_CHECK_SEED");
  const std::uint64_t seed =
      given != nullptr && *given != '\0'
          ? std::strtoull(given, nullptr, 10)
          : (std::uint64_t{std::random_device{}()} << 32) ^ std::random_device{}();
  testing::Test::RecordProperty("seed", std::to_string(seed));
  std::printf("seed %llu (run again with CONTENT_CHECK_SEED=%llu)\n",
              static_cast<unsigned long long>(seed), static_cast<unsigned long long>(seed));
  return seed;
}
