/*
 * QXStream.h — sequential bytes: the stream base class with its typed operations, file streams,
 * memory streams, the QXStream functions over them, and the whole-file helpers of the file manager.
 *
 * Statuses are 0 for success, -1 for an operation the stream does not support, a read past the end
 * of the data or an operation on a closed stream, an errno value for files, -108 when memory runs
 * out. Nothing throws. A stream object is not locked: one thread at a time.
 *
 * End of data. The file and memory streams' ReadChar reports -1 at the end of their data, so
 * ReadLine and Skip end there. Typed reads (16/32/64-bit integers, UTF-16 units) and ReadDataCopy
 * fail with -1 when fewer bytes arrive than asked; a short read never passes as success.
 */
#ifndef QXCORE_QXSTREAM_H
#define QXCORE_QXSTREAM_H

#include <QXCore/QXBase.h>
#include <stdbool.h>
#include <stdint.h>

typedef struct __QXStream* QXStreamRef;

/* 1 (big-endian) byte-swaps every 16-, 32- and 64-bit value and UTF-16 unit on write and on read;
   any other value means the machine's own order (little-endian on the supported targets). */
typedef int32_t QXStreamByteOrder;
enum { kQXStreamByteOrderLittleEndian = 0, kQXStreamByteOrderBigEndian = 1 };

enum {
  /* ReadLine stores at most this many bytes of one line (its CR included); a longer line gives
     kQXStreamErrLineTooLong with the bytes read in the buffer, and the stream stays inside the line
     right after them: no byte is consumed without being stored. When the limit falls just after a
     CR, one more byte is read to see whether it is the LF; if not, it is stored as well (this many
     plus one). The buffer then grows to at most this many plus 2 bytes. */
  kQXStreamMaxLineLength = 65536,
  /* ReadUnicodeStringWithLenCopy refuses (-1) a length prefix above this many UTF-16 units. */
  kQXStreamMaxStringUnits = 16 * 1024 * 1024,
  kQXStreamErrLineTooLong = 90 /* EMSGSIZE */
};

QX_EXTERN_C_BEGIN

/* ---- Creating, opening, closing ---- */

/* A file stream over `fileURL` with an fopen mode ("rb", "wb", "ab", "r+b"...; at most 30
   characters, "b" is added when missing, and the file is always opened close-on-exec). Both
   arguments are retained; nothing is opened until QXStreamOpen. NULL when memory runs out. */
QX_EXPORT QXStreamRef QXStreamCreateForFile(CFURLRef fileURL, CFStringRef mode);
/* A memory stream over `data` (retained; may be NULL: Open then makes an empty one), position 0.
   Immutable data is copied before the first write, so the caller's object never changes; writes
   go into a CFMutableData passed here. */
QX_EXPORT QXStreamRef QXStreamCreateForData(CFDataRef data);
/* Socket streams (QXStreamCreateForSocket) come with the socket family. */

/* Files: 0, -1 for a URL without a file-system path, EINVAL for a NULL or over-long mode, or the
   errno of fopen. An open file stream is closed and opened again. Memory: makes an empty data when
   none is set, moves to position 0; always 0. */
QX_EXPORT int32_t QXStreamOpen(QXStreamRef stream);
/* Closes a file; a memory stream drops its data. 0, or for a file the errno of flushing and
   closing it (EFBIG, ENOSPC, EIO...): written bytes still in the buffer are lost then, so a caller
   that writes a file must check this before trusting it. 0 when nothing was open. */
QX_EXPORT int32_t QXStreamClose(QXStreamRef stream);
QX_EXPORT void QXStreamRetain(QXStreamRef stream);
QX_EXPORT void QXStreamRelease(QXStreamRef stream);

/* ---- Bytes ---- */

/* Reads up to `size` bytes (all of them when the stream can wait for them). *outCount (may be NULL)
   is stored on success — a file or memory stream at its end succeeds with fewer bytes — and on a
   failure after some bytes were handed over (a socket time-out or close part-way), since those
   bytes are consumed; a failure that delivered nothing leaves it alone. */
QX_EXPORT int32_t QXStreamRead(QXStreamRef stream, void* buffer, uint64_t size, uint64_t* outCount);
QX_EXPORT int32_t QXStreamWrite(QXStreamRef stream, const void* buffer, uint64_t size);
/* Reads one line ended by CR LF into *buffer, a malloc'ed block of *capacity bytes that grows with
   realloc (both updated), and stores it without its CR LF, zero-terminated. A LF not after a CR is
   an ordinary byte; of CR CR LF only the last CR is dropped. A capacity of 0 returns 0 at once and
   leaves the buffer alone. On failure the buffer holds every byte read so far, terminated: -1 at the
   end of the data, -108 when realloc fails (the old buffer stays valid; it is grown before a byte
   is read, so none is lost), kQXStreamErrLineTooLong (see kQXStreamMaxLineLength). */
QX_EXPORT int32_t QXStreamReadLine(QXStreamRef stream, char** buffer, uint64_t* capacity);
/* Writes `count` zero bytes; 0 for a count of 0. */
QX_EXPORT int32_t QXStreamWritePad(QXStreamRef stream, uint64_t count);
/* Exactly `length` bytes in a new data object (*outData NULL on failure). -1 when the stream ends
   first, or when the stream knows its length and fewer bytes are left (checked before allocating). */
QX_EXPORT int32_t QXStreamReadDataCopy(QXStreamRef stream, uint64_t length, CFDataRef* outData);

/* ---- Typed values, in the stream's byte order ---- */

QX_EXPORT int32_t QXStreamReadInt16(QXStreamRef stream, int16_t* value);
QX_EXPORT int32_t QXStreamReadUInt16(QXStreamRef stream, uint16_t* value);
QX_EXPORT int32_t QXStreamReadInt32(QXStreamRef stream, int32_t* value);
QX_EXPORT int32_t QXStreamReadUInt32(QXStreamRef stream, uint32_t* value);
QX_EXPORT int32_t QXStreamReadInt64(QXStreamRef stream, int64_t* value);
QX_EXPORT int32_t QXStreamReadUInt64(QXStreamRef stream, uint64_t* value);
QX_EXPORT int32_t QXStreamWriteInt16(QXStreamRef stream, int16_t value);
QX_EXPORT int32_t QXStreamWriteUInt16(QXStreamRef stream, uint16_t value);
QX_EXPORT int32_t QXStreamWriteInt32(QXStreamRef stream, int32_t value);
QX_EXPORT int32_t QXStreamWriteUInt32(QXStreamRef stream, uint32_t value);
QX_EXPORT int32_t QXStreamWriteInt64(QXStreamRef stream, int64_t value);
QX_EXPORT int32_t QXStreamWriteUInt64(QXStreamRef stream, uint64_t value);
QX_EXPORT void QXStreamSetByteOrder(QXStreamRef stream, QXStreamByteOrder order);
QX_EXPORT QXStreamByteOrder QXStreamGetByteOrder(QXStreamRef stream);

/* ---- Text ---- */

/* A 32-bit count of UTF-16 units, then the units, each 16 bits in the stream's byte order. Stops at
   the first failing write. 1005 for a NULL string. */
QX_EXPORT int32_t QXStreamWriteUnicodeStringWithLen(QXStreamRef stream, CFStringRef string);
/* Reads what QXStreamWriteUnicodeStringWithLen writes into a new string (*outString NULL on any
   failure). -1 when the count is negative, above kQXStreamMaxStringUnits, larger than the bytes
   left (when the stream knows its length), or the data end early. */
QX_EXPORT int32_t QXStreamReadUnicodeStringWithLenCopy(QXStreamRef stream, CFStringRef* outString);
/* The UTF-8 bytes of `string`, no length and no terminator. 1005 for NULL. */
QX_EXPORT int32_t QXStreamWriteString(QXStreamRef stream, CFStringRef string);
/* Formats with CoreFoundation's format rules, then writes as QXStreamWriteString. */
QX_EXPORT int32_t QXStreamWriteStringParams(QXStreamRef stream, CFStringRef format, ...);

/* ---- Position ---- */

/* -1 where the stream has no position. The ...2 names are the same functions. */
QX_EXPORT int32_t QXStreamGetPos(QXStreamRef stream, uint64_t* outPos);
QX_EXPORT int32_t QXStreamGetPos2(QXStreamRef stream, uint64_t* outPos);
/* A memory stream accepts any position; reading there gives -1, writing zero-fills the gap. */
QX_EXPORT int32_t QXStreamSetPos(QXStreamRef stream, uint64_t pos);
QX_EXPORT int32_t QXStreamSetPos2(QXStreamRef stream, uint64_t pos);
/* QXStreamGetLength stores 0 on failure; QXStreamGetLength2 leaves *outLength alone then. */
QX_EXPORT int32_t QXStreamGetLength(QXStreamRef stream, uint64_t* outLength);
QX_EXPORT int32_t QXStreamGetLength2(QXStreamRef stream, uint64_t* outLength);
/* Files and memory move the position (memory may go past the end); other streams read and drop. */
QX_EXPORT int32_t QXStreamSkip(QXStreamRef stream, uint64_t count);
QX_EXPORT int32_t QXStreamSkip2(QXStreamRef stream, uint64_t count);

/* ---- Other ---- */

/* Files: turns the C library's buffering off (the data is not used); 0. Others: -1. */
QX_EXPORT int32_t QXStreamSetBuffer(QXStreamRef stream, CFDataRef data);
/* Files: nothing, 0. Others: -1. */
QX_EXPORT int32_t QXStreamSetCaching(QXStreamRef stream, bool caching);
/* A memory stream's data (borrowed; NULL when closed); NULL for any other kind of stream. */
QX_EXPORT CFDataRef QXStreamGetData(QXStreamRef stream);

/* ---- Whole files (file manager family) ----
   The status is 0, -1 for a URL without a file-system path, -108, or the errno of the failing step.
   Reading takes regular files only (a folder gives EISDIR, a FIFO or device ENOTSUP, never waited
   on). Writing goes to a temporary file in the same folder that is renamed into place, so a reader
   or a crash sees the old file or the new one, never a part; an existing file keeps its permission
   bits, and a symbolic link at the target is replaced, not written through. */

QX_EXPORT int32_t QXFileMgrGetFileContentsCopy(CFURLRef fileURL, CFDataRef* outData);
QX_EXPORT int32_t QXFileMgrWriteFileContents(CFDataRef data, CFURLRef fileURL);
QX_EXPORT int32_t QXFileMgrWriteFileContentsPathUTF8(CFDataRef data, const char* path);

/* ---- The zlib codec (utilities family) ----
   The zlib format (deflate with its 2-byte header and Adler-32 trailer) at level 6, 15-bit window,
   memory level 8: the compressed form of image tiles. */

/* Compresses `length` bytes into `output` with its WriteChunk, 64 KiB at a time. 0, -1 when zlib
   fails, or the stream's write status. */
QX_EXPORT int32_t QXUtilsLZWCompressToStream(const void* source, uint32_t length, QXStreamRef output);
/* Reads exactly `compressedLength` bytes of one zlib record from `input` (16 KiB at a time) and
   inflates them into `destination`, which the record must fill exactly. -1 for damaged data, a read
   that delivers fewer bytes than asked, a record that ends before the destination is full or before
   its compressed bytes are used up, or output that would not fit; the stream's read status when a
   read fails; 1005 for a negative length or a NULL destination with a capacity. An empty record
   (from a length of 0) inflates into a NULL destination of capacity 0. */
QX_EXPORT int32_t QXUtilsLZWDecompressFromStream(QXStreamRef input, int32_t compressedLength, void* destination,
                                                 uint32_t capacity);

QX_EXTERN_C_END

#if defined(__cplusplus)
#include <cstdarg>
#include <cstdio>

/* The stream base: the byte order and every typed operation, built on the primitives that the
   concrete classes supply. The virtual functions keep this order. */
class QX_EXPORT CBaseStream : public CBaseCore {
 public:
  CBaseStream() = default;
  ~CBaseStream() override;

  virtual int32_t Open() = 0;
  virtual void Close() = 0;
  /* Up to `count` bytes; `count` holds the bytes read on return. `readAll` asks the stream to wait
     for all of them where it can. */
  virtual int32_t ReadChunk(char* buffer, bool readAll, uint64_t& count) = 0;
  /* `count` holds the bytes written on return. */
  virtual int32_t WriteChunk(const char* buffer, uint64_t& count) = 0;
  virtual int32_t ReadChar(char& c) = 0;
  virtual int32_t WriteString(CFStringRef string);
  virtual int32_t WriteStringParams(CFStringRef format, ...);
  /* As QXStreamReadLine. */
  virtual int32_t ReadLine(char*& buffer, uint64_t& capacity);
  virtual int32_t GetPos(uint64_t& pos);     /* base: -1 */
  virtual int32_t SetPos(uint64_t pos);      /* base: -1 */
  virtual int32_t GetLength(uint64_t& len);  /* base: -1 */
  virtual int32_t Skip(uint64_t count);      /* base: reads and drops bytes; status of the last read */
  virtual int32_t SetBuffer(CFDataRef data); /* base: -1 */
  virtual int32_t SetCaching(bool caching);  /* base: -1 */
  virtual bool IsEOF() = 0;

  int32_t WriteStringParamsV(CFStringRef format, va_list arguments);

  int32_t ReadInt16(int16_t& value);
  int32_t ReadUInt16(uint16_t& value);
  int32_t ReadInt32(int32_t& value);
  int32_t ReadUInt32(uint32_t& value);
  int32_t ReadInt64(int64_t& value);
  int32_t ReadUInt64(uint64_t& value);
  int32_t WriteInt16(int16_t value);
  int32_t WriteUInt16(uint16_t value);
  int32_t WriteInt32(int32_t value);
  int32_t WriteUInt32(uint32_t value);
  int32_t WriteInt64(int64_t value);
  int32_t WriteUInt64(uint64_t value);
  /* As QXStreamReadDataCopy; `out` is NULL on failure. */
  int32_t ReadDataCopy(uint64_t length, CFDataRef& out);
  int32_t ReadUnicodeStringWithLenCopy(CFStringRef& out);
  int32_t WriteUnicodeStringWithLen(CFStringRef string);
  int32_t WritePad(uint64_t count);

  void SetByteOrder(QXStreamByteOrder order) { mByteOrder = order; }
  QXStreamByteOrder GetByteOrder() const { return mByteOrder; }

 protected:
  /* Reads exactly `count` bytes, as many chunks as it takes; -1 when the stream ends first. */
  int32_t ReadExactly(char* buffer, uint64_t count, bool readAll);
  /* The bytes left before the end, when the stream knows its length and position. */
  bool BytesLeft(uint64_t& left);

 private:
  bool Swaps() const { return mByteOrder == kQXStreamByteOrderBigEndian; }
  template <class T>
  int32_t ReadValue(T& value);
  template <class T>
  int32_t WriteValue(T value);

  QXStreamByteOrder mByteOrder = kQXStreamByteOrderLittleEndian;
};

/* A file on disk through the C library's buffered I/O. */
class QX_EXPORT CBaseStreamFile : public CBaseStream {
 public:
  CBaseStreamFile() = default;
  CBaseStreamFile(CFURLRef fileURL, CFStringRef mode); /* both retained */
  ~CBaseStreamFile() override;

  int32_t Open() override;
  /* Flushes and closes; what that gave is kept for GetCloseStatus. */
  void Close() override;
  /* 0 when the last Close flushed and closed the file (or found it closed), else its errno:
     a buffered write that fails shows up only here. */
  int32_t GetCloseStatus() const { return mCloseStatus; }
  /* A short read at the end of the file succeeds with the smaller count. */
  int32_t ReadChunk(char* buffer, bool readAll, uint64_t& count) override;
  int32_t WriteChunk(const char* buffer, uint64_t& count) override;
  int32_t ReadChar(char& c) override; /* -1 at the end of the file */
  int32_t GetPos(uint64_t& pos) override;
  int32_t SetPos(uint64_t pos) override;
  int32_t GetLength(uint64_t& len) override;
  int32_t Skip(uint64_t count) override;
  int32_t SetBuffer(CFDataRef data) override;
  int32_t SetCaching(bool caching) override;
  bool IsEOF() override; /* true when closed */

  CFURLRef GetPath() const { return mURL; } /* borrowed */
  void SetPath(CFURLRef fileURL);           /* retained; used by the next Open */
  void SetMode(CFStringRef mode);           /* retained; used by the next Open */

 private:
  std::FILE* mFile = nullptr;
  CFURLRef mURL = nullptr;
  CFStringRef mMode = nullptr;
  int32_t mCloseStatus = 0;
};

/* A growable block of memory. Reading stops at the end of the data; writing overwrites, then
   appends, and zero-fills a gap left by a position past the end. */
class QX_EXPORT CBaseStreamMemory : public CBaseStream {
 public:
  CBaseStreamMemory() = default;
  explicit CBaseStreamMemory(CFDataRef data); /* retained, as SetData */
  ~CBaseStreamMemory() override;

  int32_t Open() override;
  void Close() override;
  int32_t ReadChunk(char* buffer, bool readAll, uint64_t& count) override;
  int32_t WriteChunk(const char* buffer, uint64_t& count) override;
  int32_t ReadChar(char& c) override; /* -1 at the end of the data */
  int32_t GetPos(uint64_t& pos) override;
  int32_t SetPos(uint64_t pos) override;
  int32_t GetLength(uint64_t& len) override;
  int32_t Skip(uint64_t count) override;
  bool IsEOF() override; /* true when closed */

  CFDataRef GetData() const { return mData; } /* borrowed; NULL when closed */
  /* Retains `data` (NULL closes) and moves to position 0; immutable data is copied before the
     first write. */
  void SetData(CFDataRef data);
  const UInt8* GetBytePtr() const; /* NULL when closed */

 private:
  int32_t MakeWritable();

  CFDataRef mData = nullptr;
  bool mMutable = false; /* mData is a CFMutableData this stream may write into */
  uint64_t mPos = 0;
};

/* CBaseStreamSocket (a socket stream) is declared with the socket family. */

/* The zlib codec over any stream, as QXUtilsLZWCompressToStream and QXUtilsLZWDecompressFromStream. */
QX_EXPORT int32_t QXUtilsLZWCompress(const void* source, uint32_t length, CBaseStream* output);
QX_EXPORT int32_t QXUtilsLZWDecompress(CBaseStream* input, int32_t compressedLength, void* destination,
                                       uint32_t capacity);
#endif /* __cplusplus */

#endif /* QXCORE_QXSTREAM_H */
