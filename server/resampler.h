#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>

struct soxr;

namespace sonacap {

// A streaming sample-rate converter for one channel of 32-bit float. It is never flushed: the
// samples it cannot use yet and its filter history carry over to the next call.
class Resampler {
 public:
  // A converter, or soxr's reason why it cannot be made.
  static std::variant<Resampler, std::string> make(double inRate, double outRate);

  // Converts all of in; the number of samples written to out, absent on an error.
  std::optional<std::size_t> process(std::span<const float> in, std::span<float> out);

 private:
  struct Delete {
    void operator()(soxr* resampler) const;
  };
  explicit Resampler(soxr* resampler) : soxr_(resampler) {}
  std::unique_ptr<soxr, Delete> soxr_;
};

}  // namespace sonacap
