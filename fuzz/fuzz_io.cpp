// A file read through application I/O callbacks that misbehave where the
// fuzzer says: short reads, a read that fails (negative), seeks that fail,
// an open that fails, seeks past the end refused.
//
// Input layout: an 8-byte control header, then the file's bytes.
//   0      largest read the callback serves (0: as much as asked)
//   1..2   read call (little-endian, from 1) that returns -1; 0: none
//   3..4   seek call (from 1) that fails; 0: none
//   5      flags: 1 reads keep failing after the first failure,
//                 2 seeks keep failing after the first failure,
//                 4 open fails, 8 seeks past the end fail
//   6      1: also load the file whole into a buffer
//   7      chunk length of the stream, in units of 64 bytes (plus 64)
#include "harness.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
struct Control {
    unsigned maxRead = 0;
    unsigned failReadAt = 0;
    unsigned failSeekAt = 0;
    unsigned flags = 0;
    unsigned wholeLoad = 0;
    unsigned chunkUnits = 0;
};

struct FakeFile {
    const uint8_t *data;
    size_t size;
    size_t pos;
};

Control control;
const uint8_t *fileData = nullptr;
size_t fileSize = 0;
unsigned readCalls = 0, seekCalls = 0;
int openFiles = 0;

void *OpenCb(const char *, ALuint mode)
{
    if (mode != 0 || (control.flags & 4))
        return nullptr;
    openFiles++;
    return new FakeFile{fileData, fileSize, 0};
}

void CloseCb(void *handle)
{
    openFiles--;
    delete static_cast<FakeFile *>(handle);
}

ALsizei ReadCb(void *handle, ALubyte *buf, ALuint bytes)
{
    auto *file = static_cast<FakeFile *>(handle);
    readCalls++;
    if (control.failReadAt &&
        (readCalls == control.failReadAt || ((control.flags & 1) && readCalls > control.failReadAt)))
        return -1;
    size_t n = bytes;
    if (control.maxRead && n > control.maxRead)
        n = control.maxRead;
    size_t left = file->pos < file->size ? file->size - file->pos : 0;
    if (n > left)
        n = left;
    if (n)
        memcpy(buf, file->data + file->pos, n);
    file->pos += n;
    return ALsizei(n);
}

ALsizei WriteCb(void *, const ALubyte *, ALuint)
{
    fprintf(stderr, "fuzz: the library wrote through the I/O callbacks\n");
    abort();
}

nuvexInt64 SeekCb(void *handle, nuvexInt64 offset, ALint whence)
{
    auto *file = static_cast<FakeFile *>(handle);
    seekCalls++;
    if (control.failSeekAt &&
        (seekCalls == control.failSeekAt || ((control.flags & 2) && seekCalls > control.failSeekAt)))
        return -1;
    nuvexInt64 base = whence == SEEK_SET   ? 0
                      : whence == SEEK_CUR ? nuvexInt64(file->pos)
                      : whence == SEEK_END ? nuvexInt64(file->size)
                                           : -1;
    if (base < 0 || (offset < 0 && -offset > base))
        return -1;
    nuvexInt64 target = base + offset;
    if (target < 0 || ((control.flags & 8) && target > nuvexInt64(file->size)))
        return -1;
    file->pos = size_t(target);
    return target;
}

void CheckAllClosed(const char *where)
{
    if (openFiles != 0) {
        fprintf(stderr, "fuzz: %d file(s) left open after %s\n", openFiles, where);
        abort();
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    nvfuzz::EnsureContext();
    if (size < 8)
        return 0;
    control.maxRead = data[0];
    control.failReadAt = unsigned(data[1]) | unsigned(data[2]) << 8;
    control.failSeekAt = unsigned(data[3]) | unsigned(data[4]) << 8;
    control.flags = data[5];
    control.wholeLoad = data[6] & 1;
    control.chunkUnits = data[7];
    fileData = data + 8;
    fileSize = size - 8;
    readCalls = seekCalls = 0;
    if (!nuvexSetIOCallbacks(OpenCb, CloseCb, ReadCb, WriteCb, SeekCb))
        abort();

    ALuint buffers[3] = {};
    ALsizei chunk = ALsizei(64 + 64 * control.chunkUnits);
    nuvexStream *stream = nuvexCreateStreamFromFile("fuzz-input", chunk, 3, buffers);
    if (stream)
        nvfuzz::Exercise(stream, 3, buffers, fileData, fileSize);
    nvfuzz::CheckNoPendingError("a file stream");
    CheckAllClosed("a file stream");

    if (control.wholeLoad && !nvfuzz::DecodesLongerThan(fileData, fileSize, size_t(4) << 20)) {
        readCalls = seekCalls = 0;
        ALuint buffer = nuvexCreateBufferFromFile("fuzz-input");
        nvfuzz::CheckNoPendingError("a whole-file load");
        if (buffer)
            alDeleteBuffers(1, &buffer);
        CheckAllClosed("a whole-file load");
    }
    nuvexSetIOCallbacks(nullptr, nullptr, nullptr, nullptr, nullptr);
    nuvexGetErrorString();
    return 0;
}
