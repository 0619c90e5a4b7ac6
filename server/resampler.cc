#include "server/resampler.h"

#include <soxr.h>

namespace sonacap {

void Resampler::Delete::operator()(soxr* resampler) const { soxr_delete(resampler); }

std::variant<Resampler, std::string> Resampler::make(double inRate, double outRate) {
  // soxr never returns for some rates (not finite, or far beyond any sound card's); refuse
  // them with its own words for a ratio it cannot take.
  const auto usable = [](double rate) { return rate >= 1.0 && rate <= 1e7; };
  if (!usable(inRate) || !usable(outRate)) return std::string("I/O ratio out-of-range");
  soxr_error_t error = nullptr;
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  soxr_t made = soxr_create(inRate, outRate, 1, &error, &io, &quality, nullptr);
  if (error != nullptr || made == nullptr) {
    soxr_delete(made);
    return std::string(error != nullptr ? error : "no resampler");
  }
  return Resampler(made);
}

std::optional<std::size_t> Resampler::process(std::span<const float> in, std::span<float> out) {
  std::size_t written = 0;
  if (in.empty()) return written;  // no input pointer would tell soxr to flush
  // soxr takes no more input per call than the room in out needs; keep feeding it so every
  // sample reaches its buffer.
  do {
    std::size_t used = 0;
    std::size_t produced = 0;
    if (soxr_process(soxr_.get(), in.data(), in.size(), &used, out.data() + written,
                     out.size() - written, &produced) != nullptr) {
      return std::nullopt;
    }
    in = in.subspan(used);
    written += produced;
    if (used == 0 && produced == 0) break;
  } while (!in.empty() && written < out.size());
  return written;
}

}  // namespace sonacap
