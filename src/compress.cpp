#include "compress.h"

#include <pthread.h>
#include <zlib.h>
// For the allocator a context is created with, which the dynamic library exports as well.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "util/text.h"

namespace quelvane::compress {

namespace {

std::unexpected<Error> unknown_type(std::uint8_t compress_type) {
  return fail(Error::invalid_data(text::cat("unknown compress_type ", compress_type)));
}

// The codecs take their memory from the C++ allocator, as everything else does: running out of
// it inside a codec is then the same failed allocation as anywhere else, and a codec reports it
// as a value, which the callers below turn back into std::bad_alloc.
void* codec_alloc(std::size_t n) noexcept {
  try {
    return ::operator new(n);
  } catch (...) {
    return nullptr;
  }
}
void* zstd_alloc(void*, std::size_t n) { return codec_alloc(n); }
void zstd_free(void*, void* p) { ::operator delete(p); }
constexpr ZSTD_customMem kZstdMemory{zstd_alloc, zstd_free, nullptr};

voidpf zlib_alloc(voidpf, uInt items, uInt size) {
  std::size_t n;
  if (__builtin_mul_overflow(std::size_t{items}, std::size_t{size}, &n)) return Z_NULL;
  return codec_alloc(n);
}
void zlib_free(voidpf, voidpf p) { ::operator delete(p); }

// A codec that ran out of memory has not met damaged or unusable data: callers that take a
// decoding error for a damaged block must not see one.
std::size_t zstd_checked(std::size_t result) {
  if (ZSTD_isError(result) && ZSTD_getErrorCode(result) == ZSTD_error_memory_allocation) throw std::bad_alloc();
  return result;
}
int zlib_checked(int rc) {
  if (rc == Z_MEM_ERROR) throw std::bad_alloc();
  return rc;
}

// A zlib stream that takes its memory from the allocator above, ended on every path.
template <int (*End)(z_streamp)>
struct ZStream {
  z_stream s{};
  ZStream() {
    s.zalloc = zlib_alloc;
    s.zfree = zlib_free;
  }
  ~ZStream() { End(&s); }
  ZStream(const ZStream&) = delete;
  ZStream& operator=(const ZStream&) = delete;
};

// One context of each kind per thread, reset before each use: the same frames as a fresh
// context, without the allocation on every seal. A context that cannot be made (memory ran
// out) is tried again at the next use. They are freed when the thread ends through a pthread
// key, whose use allocates nothing: a thread_local with a destructor would have the C library
// allocate its registration at first use, and end the process when that allocation fails.
struct ThreadContexts {
  ZSTD_CCtx* cctx = nullptr;
  ZSTD_DCtx* dctx = nullptr;
};
thread_local ThreadContexts thread_contexts;

void free_contexts(void* p) {
  auto* c = static_cast<ThreadContexts*>(p);
  ZSTD_freeCCtx(std::exchange(c->cctx, nullptr));
  ZSTD_freeDCtx(std::exchange(c->dctx, nullptr));
}

// Registers this thread's contexts to be freed at its end (without a key they stay for the
// process's life).
void free_at_thread_end() {
  static const std::optional<pthread_key_t> key = []() -> std::optional<pthread_key_t> {
    pthread_key_t k;
    if (pthread_key_create(&k, free_contexts) != 0) return std::nullopt;
    return k;
  }();
  if (key) (void)pthread_setspecific(*key, &thread_contexts);
}

// A context can only fail to be made for want of memory.
template <class Ctx>
Ctx& thread_context(Ctx*& slot, Ctx* (*create)(ZSTD_customMem)) {
  if (slot == nullptr) {
    slot = create(kZstdMemory);
    if (slot == nullptr) throw std::bad_alloc();
    free_at_thread_end();
  }
  return *slot;
}

ZSTD_CCtx* thread_cctx() { return &thread_context(thread_contexts.cctx, ZSTD_createCCtx_advanced); }
ZSTD_DCtx* thread_dctx() { return &thread_context(thread_contexts.dctx, ZSTD_createDCtx_advanced); }

std::unexpected<Error> zstd_encode_error(std::size_t code) {
  zstd_checked(code);
  return fail(Error::compression(text::cat("zstd encode error: ", ZSTD_getErrorName(code))));
}

Result<std::vector<std::uint8_t>> zstd_compress(std::span<const std::uint8_t> raw, std::uint8_t level) {
  ZSTD_CCtx* c = thread_cctx();
  ZSTD_CCtx_reset(c, ZSTD_reset_session_and_parameters);
  if (auto r = ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, std::min<int>(level, 22)); ZSTD_isError(r))
    return zstd_encode_error(r);
  if (auto r = zstd_checked(ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1)); ZSTD_isError(r))
    return fail(Error::compression(text::cat("zstd checksum config error: ", ZSTD_getErrorName(r))));
  if (auto r = ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 0); ZSTD_isError(r)) return zstd_encode_error(r);

  std::vector<std::uint8_t> out(ZSTD_compressBound(raw.size()));
  ZSTD_outBuffer ob{out.data(), out.size(), 0};
  // The input is fed as a stream and the frame finished on an empty input, so the encoder
  // never learns the size up front and tunes nothing to it.
  ZSTD_inBuffer ib{raw.data(), raw.size(), 0};
  while (ib.pos < ib.size) {
    if (ob.pos == ob.size) {
      out.resize(out.size() * 2);
      ob.dst = out.data();
      ob.size = out.size();
    }
    std::size_t r = ZSTD_compressStream2(c, &ob, &ib, ZSTD_e_continue);
    if (ZSTD_isError(r)) return zstd_encode_error(r);
  }
  ZSTD_inBuffer empty{nullptr, 0, 0};
  for (;;) {
    if (ob.pos == ob.size) {
      out.resize(out.size() * 2);
      ob.dst = out.data();
      ob.size = out.size();
    }
    std::size_t remaining = ZSTD_compressStream2(c, &ob, &empty, ZSTD_e_end);
    if (ZSTD_isError(remaining)) return zstd_encode_error(remaining);
    if (remaining == 0) break;
  }
  out.resize(ob.pos);
  return out;
}

// The whole output buffer is taken at once, one byte past the limit: reaching that byte proves
// the data would exceed the limit. The limit never passes the largest block, so neither does
// the buffer.
class BoundedOutput {
 public:
  BoundedOutput(std::uint64_t limit, const char* prefix) : limit_(limit), prefix_(prefix), buf_(limit + 1) {}

  std::uint8_t* data() { return buf_.data(); }
  std::uint64_t capacity() const { return buf_.size(); }
  bool exceeded(std::uint64_t produced) const { return produced > limit_; }
  std::unexpected<Error> too_large() const {
    return fail(Error::decompression(text::cat(prefix_, "output exceeds ", limit_, " bytes")));
  }
  std::vector<std::uint8_t> take(std::uint64_t produced) {
    // The spare byte past the limit stays allocated: dropping it would copy the whole block.
    buf_.resize(produced);
    return std::move(buf_);
  }

 private:
  std::uint64_t limit_;
  const char* prefix_;
  std::vector<std::uint8_t> buf_;
};

constexpr const char* kZstdDecodeError = "zstd decode error: ";
constexpr const char* kInflateError = "inflate error: ";

Result<std::vector<std::uint8_t>> zstd_decompress(std::span<const std::uint8_t> in, std::uint64_t limit) {
  ZSTD_DCtx* d = thread_dctx();
  ZSTD_DCtx_reset(d, ZSTD_reset_session_and_parameters);
  BoundedOutput out(limit, kZstdDecodeError);
  ZSTD_inBuffer ib{in.data(), in.size(), 0};
  ZSTD_outBuffer ob{out.data(), out.capacity(), 0};
  for (;;) {
    std::size_t r = zstd_checked(ZSTD_decompressStream(d, &ob, &ib));
    if (ZSTD_isError(r)) return fail(Error::decompression(text::cat(kZstdDecodeError, ZSTD_getErrorName(r))));
    if (out.exceeded(ob.pos)) return out.too_large();
    if (r == 0 && ib.pos == ib.size) break;  // every frame complete and checked
    // A decoder that wants more input while none is left holds a cut-off frame.
    if (r != 0 && ib.pos == ib.size) return fail(Error::decompression("zstd decode error: truncated frame"));
  }
  return out.take(ob.pos);
}

Result<std::vector<std::uint8_t>> deflate_compress(std::span<const std::uint8_t> raw, std::uint8_t level) {
  ZStream<deflateEnd> stream;
  z_stream& s = stream.s;
  if (zlib_checked(deflateInit2(&s, std::min<int>(level, 9), Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY)) != Z_OK)
    internal_failure("deflateInit2 failed");
  std::vector<std::uint8_t> out(deflateBound(&s, static_cast<uLong>(raw.size())));
  s.next_in = const_cast<Bytef*>(raw.data());
  s.avail_in = static_cast<uInt>(raw.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  const int rc = zlib_checked(deflate(&s, Z_FINISH));
  QV_ASSERT(rc == Z_STREAM_END, "deflate into a bound-sized buffer did not finish");
  out.resize(s.total_out);
  return out;
}

Result<std::vector<std::uint8_t>> deflate_decompress(std::span<const std::uint8_t> in, std::uint64_t limit) {
  if (in.size() > UINT32_MAX) return fail(Error::decompression("inflate error: input too large"));
  ZStream<inflateEnd> stream;
  z_stream& s = stream.s;
  if (zlib_checked(inflateInit2(&s, -15)) != Z_OK) internal_failure("inflateInit2 failed");
  BoundedOutput out(limit, kInflateError);
  s.next_in = const_cast<Bytef*>(in.data());
  s.avail_in = static_cast<uInt>(in.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.capacity());
  for (;;) {
    const int rc = zlib_checked(inflate(&s, Z_NO_FLUSH));
    if (out.exceeded(s.total_out)) return out.too_large();
    switch (rc) {
      case Z_STREAM_END:
        if (s.avail_in != 0) return fail(Error::decompression("inflate error: trailing bytes after end of stream"));
        return out.take(s.total_out);
      case Z_OK:
      case Z_BUF_ERROR:
        if (s.avail_in == 0) return fail(Error::decompression("inflate error: unexpected end of deflate stream"));
        continue;
      case Z_DATA_ERROR:
        return fail(Error::decompression(text::cat("inflate error: ", s.msg ? s.msg : "invalid deflate data")));
      default:
        return fail(Error::decompression(text::cat("inflate error: code ", rc)));
    }
  }
}

}  // namespace

Status check_compress_type(std::uint8_t compress_type) {
  if (compress_type > kDeflate) return unknown_type(compress_type);
  return {};
}

Result<std::vector<std::uint8_t>> compress(std::span<const std::uint8_t> raw, std::uint8_t compress_level,
                                           std::uint8_t compress_type) {
  switch (compress_type) {
    case kZstd: return zstd_compress(raw, compress_level);
    case kDeflate: return deflate_compress(raw, compress_level);
    default: return unknown_type(compress_type);
  }
}

Result<std::vector<std::uint8_t>> decompress(std::span<const std::uint8_t> compressed, std::uint8_t compress_type,
                                             std::uint64_t max_output) {
  // The limit comes from a block header, which a damaged file can make claim gigabytes.
  if (max_output > kMaxRawBlock && compress_type <= kDeflate) {
    return fail(Error::decompression(text::cat(compress_type == kZstd ? kZstdDecodeError : kInflateError,
                                               "block size ", max_output, " exceeds the largest block ",
                                               kMaxRawBlock)));
  }
  switch (compress_type) {
    case kZstd: return zstd_decompress(compressed, max_output);
    case kDeflate: return deflate_decompress(compressed, max_output);
    default: return unknown_type(compress_type);
  }
}

}  // namespace quelvane::compress
