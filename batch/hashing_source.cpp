#include "batch/hashing_source.h"

#include <openssl/evp.h>

#include <array>

std::string lower_hex(std::span<const std::uint8_t> bytes) {
    static constexpr char HEX[] = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t byte : bytes) {
        text += HEX[byte >> 4];
        text += HEX[byte & 15];
    }
    return text;
}

std::string sha256_hex(std::span<const std::uint8_t> bytes) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int size = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &size, EVP_sha256(), nullptr) != 1) return "";
    return lower_hex(std::span(digest.data(), size));
}

struct HashingSource::Digest {
    EVP_MD_CTX* context = nullptr;
    explicit Digest(const EVP_MD* type) : context(EVP_MD_CTX_new()) {
        if (context != nullptr && EVP_DigestInit_ex(context, type, nullptr) != 1) {
            EVP_MD_CTX_free(context);
            context = nullptr;
        }
    }
    ~Digest() { EVP_MD_CTX_free(context); }
    Digest(const Digest&) = delete;
    Digest& operator=(const Digest&) = delete;

    bool update(std::span<const std::uint8_t> bytes) {
        return context != nullptr && EVP_DigestUpdate(context, bytes.data(), bytes.size()) == 1;
    }
    std::string hex() {
        std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
        unsigned int size = 0;
        if (context == nullptr || EVP_DigestFinal_ex(context, digest.data(), &size) != 1) return "";
        EVP_MD_CTX_free(context);
        context = nullptr;
        return lower_hex(std::span(digest.data(), size));
    }
};

HashingSource::HashingSource(gainscan::ByteSource& inner, HashChoice choice) : inner_(inner) {
    if (choice.sha256) sha256_ = std::make_unique<Digest>(EVP_sha256());
    if (choice.md5) md5_ = std::make_unique<Digest>(EVP_md5());
    broken_ = (sha256_ != nullptr && sha256_->context == nullptr) || (md5_ != nullptr && md5_->context == nullptr);
}

HashingSource::~HashingSource() = default;

std::size_t HashingSource::read(std::span<std::uint8_t> to) {
    if (at_end_) return 0;
    const std::size_t got = inner_.read(to);
    const std::span<const std::uint8_t> chunk(to.data(), got);
    if (sha256_ != nullptr && !sha256_->update(chunk)) broken_ = true;
    if (md5_ != nullptr && !md5_->update(chunk)) broken_ = true;
    bytes_ += got;
    if (got < to.size()) at_end_ = true;
    return got;
}

std::uint64_t HashingSource::size() {
    std::array<std::uint8_t, 1 << 16> scratch;
    while (!at_end_) read(scratch);
    return bytes_;
}

std::string HashingSource::sha256() { return sha256_ != nullptr && !failed() ? sha256_->hex() : ""; }
std::string HashingSource::md5() { return md5_ != nullptr && !failed() ? md5_->hex() : ""; }
