#include "formats/decoder.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "formats/netpbm_reader.h"
#include "io/input.h"
#include "text/numbers.h"

namespace lumtab {

std::uint64_t most_held_whole(const Input& in) {
    const std::int64_t left = in.bytes_left();
    return std::max(kLeastHeldWhole,
                    left >= 0 ? 64 * std::min<std::uint64_t>(std::uint64_t(left), 1ull << 40) : 0);
}

void refuse_held_whole(const Input& in, const std::string& what, std::uint64_t bytes,
                       std::uint64_t most) {
    throw Error(in.name(), what + " is held whole, and this one would take " +
                               std::to_string(bytes >> 20) + " MiB, more than the " +
                               std::to_string(most >> 20) + " MiB allowed it");
}

std::size_t Decoder::read(std::span<double> out) {
    std::uint16_t samples[4096];
    std::size_t count = 0;
    while (count < out.size()) {
        const std::size_t n =
            read(std::span(samples).first(std::min(out.size() - count, std::size(samples))));
        if (n == 0) break;
        std::copy_n(samples, n, out.begin() + std::ptrdiff_t(count));
        count += n;
    }
    return count;
}

std::unique_ptr<Decoder> open_decoder(Input& in) {
    const std::span<const std::uint8_t> head = in.look_ahead(8);
    auto starts_with = [&](std::string_view signature) {
        return head.size() >= signature.size() &&
               std::memcmp(head.data(), signature.data(), signature.size()) == 0;
    };
    using namespace std::string_view_literals;
    if (starts_with("\x89PNG\r\n\x1a\n"sv)) return open_png(in);
    if (starts_with("II*\0"sv) || starts_with("MM\0*"sv) || starts_with("II+\0"sv) ||
        starts_with("MM\0+"sv))
        return open_tiff(in);
    if (starts_with("\xff\xd8\xff"sv)) return open_jpeg(in);
    if ((starts_with("PF"sv) || starts_with("Pf"sv)) && head.size() >= 3 &&
        numbers::is_space(head[2]))
        return open_pfm(in);
    return std::make_unique<NetpbmReader>(in);
}

#if !defined(LUMTAB_IMAGE_LIBRARIES)
namespace {

[[noreturn]] void not_read(Input& in, const char* format) {
    throw Error(in.name(), std::string(format) + " images are not read by this build of lumtab");
}

}  // namespace

std::unique_ptr<Decoder> open_png(Input& in) {
    not_read(in, "PNG");
}

std::unique_ptr<Decoder> open_tiff(Input& in) {
    not_read(in, "TIFF");
}

std::unique_ptr<Decoder> open_jpeg(Input& in) {
    not_read(in, "JPEG");
}
#endif

}  // namespace lumtab
