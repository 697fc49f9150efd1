#pragma once
// The setup stub a builder carries where it has no resources of its own to keep it in: the
// shipped program's bytes, linked into the builder (carried_stub.cpp).
#include <cstddef>
#include <cstdint>

struct CarriedStub {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
};

[[nodiscard]] CarriedStub carriedStub();
