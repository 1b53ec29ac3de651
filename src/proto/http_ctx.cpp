#include "proto/http_ctx.h"

#include <cstring>

namespace {

// The context's pointers into the buffer, other than the segment bases.
constexpr size_t kPointerCount = 17;

void collect_pointers(http_ctx_t *ctx, uint8_t **out[kPointerCount]) {
    uint8_t **all[kPointerCount] = {
        &ctx->header_name_start, &ctx->header_name_end, &ctx->header_start,  &ctx->header_end,
        &ctx->header_line_start, &ctx->header_line_end, &ctx->request_start, &ctx->request_end,
        &ctx->method_end,        &ctx->schema_start,    &ctx->schema_end,    &ctx->uri_start,
        &ctx->uri_end,           &ctx->host_end,        &ctx->host.data,     &ctx->status.start,
        &ctx->status.end,
    };
    memcpy(out, all, sizeof(all));
}

// Offset of p in [base, base + size], or -1 when p is null or points elsewhere.
ptrdiff_t offset_in(const uint8_t *p, const uint8_t *base, size_t size) {
    if (p == nullptr || base == nullptr) return -1;
    auto a = reinterpret_cast<uintptr_t>(p);
    auto b = reinterpret_cast<uintptr_t>(base);
    if (a < b || a - b > size) return -1;
    return static_cast<ptrdiff_t>(a - b);
}

bool is_last_segment(const http_ctx_t *ctx, size_t index) {
    return index + 1 == ctx->header_seg_count;
}

uint8_t *seg_base(const http_ctx_t *ctx, size_t i) {
    return static_cast<uint8_t *>(ctx->header_seg[i].iov_base);
}

// Index of the segment holding [start, end), or HTTP_MAX_HEADER_SEG when none does.
size_t find_segment(const http_ctx_t *ctx, const uint8_t *start, const uint8_t *end) {
    for (size_t i = 0; i < ctx->header_seg_count; i++) {
        const uint8_t *base = seg_base(ctx, i);
        if (start < base || end < start) continue;
        if (is_last_segment(ctx, i) || end <= base + ctx->header_seg[i].iov_len) return i;
    }
    return HTTP_MAX_HEADER_SEG;
}

bool cut(http_ctx_t *ctx, uint8_t *start, uint8_t *end) {
    return http_skip_payload(ctx, start, end, find_segment(ctx, start, end));
}

} // namespace

bool http_ctx_adj_buf(http_ctx_t *ctx, buf_t *buf, size_t size) {
    if (ctx == nullptr || buf == nullptr) return false;
    if (buf->start == nullptr) return buf_alloc(buf, size);
    if (size < static_cast<size_t>(buf->last - buf->start)) return false;

    // Offsets are taken before the storage moves; the old addresses are never used after.
    uint8_t *old = buf->start;
    size_t old_size = static_cast<size_t>(buf->end - buf->start);
    uint8_t **ptrs[kPointerCount];
    collect_pointers(ctx, ptrs);
    ptrdiff_t offs[kPointerCount];
    for (size_t i = 0; i < kPointerCount; i++)
        offs[i] = offset_in(*ptrs[i], old, old_size);
    ptrdiff_t seg_offs[HTTP_MAX_HEADER_SEG];
    for (size_t i = 0; i < ctx->header_seg_count; i++) {
        seg_offs[i] = offset_in(seg_base(ctx, i), old, old_size);
    }

    if (!buf_alloc(buf, size)) return false;
    if (buf->start == old) return true;
    for (size_t i = 0; i < kPointerCount; i++) {
        if (offs[i] >= 0) *ptrs[i] = buf->start + offs[i];
    }
    for (size_t i = 0; i < ctx->header_seg_count; i++) {
        if (seg_offs[i] >= 0) ctx->header_seg[i].iov_base = buf->start + seg_offs[i];
    }
    return true;
}

void http_ctx_reset(http_ctx_t *ctx) {
    memset(ctx, 0, sizeof(*ctx));
}

void http_ctx_start_segments(http_ctx_t *ctx, uint8_t *base) {
    ctx->header_seg[0].iov_base = base;
    ctx->header_seg[0].iov_len = 0;
    ctx->header_seg_count = 1;
}

bool http_ctx_close_segments(http_ctx_t *ctx, uint8_t *last) {
    if (ctx->header_seg_count == 0) return false;
    struct iovec *seg = &ctx->header_seg[ctx->header_seg_count - 1];
    uint8_t *base = static_cast<uint8_t *>(seg->iov_base);
    if (last < base) return false;
    seg->iov_len = static_cast<size_t>(last - base);
    return true;
}

bool http_skip_payload(http_ctx_t *ctx, uint8_t *start, uint8_t *end, size_t index) {
    if (ctx->header_seg_count >= HTTP_MAX_HEADER_SEG || index >= ctx->header_seg_count) {
        return false;
    }
    struct iovec *seg = &ctx->header_seg[index];
    uint8_t *base = static_cast<uint8_t *>(seg->iov_base);
    if (start == nullptr || start < base || end < start) return false;

    if (is_last_segment(ctx, index)) {
        seg->iov_len = static_cast<size_t>(start - base);
        ctx->header_seg[index + 1].iov_base = end;
        ctx->header_seg[index + 1].iov_len = 0; // open: closed by the sender
        ctx->header_seg_count++;
        return true;
    }
    uint8_t *seg_end = base + seg->iov_len;
    if (end > seg_end) return false;
    seg->iov_len = static_cast<size_t>(start - base);
    if (end == seg_end) return true;
    memmove(&ctx->header_seg[index + 2], &ctx->header_seg[index + 1],
            (ctx->header_seg_count - index - 1) * sizeof(struct iovec));
    ctx->header_seg[index + 1].iov_base = end;
    ctx->header_seg[index + 1].iov_len = static_cast<size_t>(seg_end - end);
    ctx->header_seg_count++;
    return true;
}

bool http_skip_current_header(http_ctx_t *ctx) {
    if (ctx->header_seg_count == 0 || ctx->header_line_start == nullptr ||
        ctx->header_line_end == nullptr) {
        return false;
    }
    return http_skip_payload(ctx, ctx->header_line_start, ctx->header_line_end,
                             ctx->header_seg_count - 1);
}

bool http_header_name_is(const http_ctx_t *ctx, const char *lowcase_name, size_t len) {
    if (ctx->header_name_start == nullptr || ctx->header_name_end == nullptr) return false;
    if (len > sizeof(ctx->lowcase_header)) return false;
    if (static_cast<size_t>(ctx->header_name_end - ctx->header_name_start) != len) return false;
    if (ctx->lowcase_index != len % sizeof(ctx->lowcase_header)) return false;
    return memcmp(ctx->lowcase_header, lowcase_name, len) == 0;
}

bool http_rewrite_absolute_uri(http_ctx_t *ctx) {
    if (ctx->schema_start == nullptr) return true;
    // The authority must be "//" + host [":" port] between the scheme's ':' and host_end, and
    // the URI must start where the authority ends or be the '/' of the "//".
    uint8_t *colon = ctx->schema_end;
    if (colon == nullptr || ctx->request_start == nullptr || ctx->request_end == nullptr ||
        ctx->uri_start == nullptr || ctx->host_end == nullptr || ctx->host.data == nullptr) {
        return false;
    }
    if (ctx->schema_start < ctx->request_start || colon <= ctx->schema_start ||
        ctx->host.data != colon + 3 || ctx->host_end < ctx->host.data + ctx->host.len ||
        ctx->host_end > ctx->request_end) {
        return false;
    }
    bool has_path = ctx->uri_start == ctx->host_end && *ctx->uri_start == '/';
    bool slash_only = ctx->uri_start == colon + 1;
    bool query_only = ctx->uri_start == ctx->host_end && *ctx->uri_start == '?';
    if (!has_path && !slash_only && !query_only) return false;

    struct iovec saved[HTTP_MAX_HEADER_SEG];
    memcpy(saved, ctx->header_seg, sizeof(saved));
    size_t saved_count = ctx->header_seg_count;
    bool ok;
    if (has_path) {
        ok = cut(ctx, ctx->schema_start, ctx->uri_start);
    } else {
        // Keep the first '/' of "//" as the path, and drop the rest of the authority.
        ok = cut(ctx, ctx->schema_start, colon + 1) && cut(ctx, colon + 2, ctx->host_end);
    }
    if (!ok) {
        memcpy(ctx->header_seg, saved, sizeof(saved));
        ctx->header_seg_count = saved_count;
    }
    return ok;
}
