/*
 * QXStream.h — sequential bytes: the stream base class with its typed operations, file streams,
 * memory streams, the QXStream functions over them, and the whole-file helpers of the file manager.
 *
 * Statuses are 0 for success, kQXErrGeneric (-1) for an operation the stream does not support, a
 * read past the end of the data or an operation on a closed stream, an errno value for files, and
 * kQXErrMemory (-108) when memory runs out. Nothing throws. A stream object is not locked: one
 * thread at a time.
 *
 * End of data. The file and memory streams' ReadChar reports kQXErrGeneric at the end of their
 * data, so ReadLine and Skip end there. Typed reads (16/32/64-bit integers, UTF-16 units) and
 * ReadDataCopy fail with kQXErrGeneric when fewer bytes arrive than asked; a short read never
 * passes as success.
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
  /* ReadUnicodeStringWithLenCopy refuses (kQXErrGeneric) a length prefix above this many UTF-16
     units. */
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

/* Files: 0, kQXErrGeneric for a URL without a file-system path, EINVAL for a NULL or over-long
   mode, or the errno of fopen. An open file stream is closed and opened again. Memory: makes an
   empty data when none is set, moves to position 0; always 0. */
QX_EXPORT QXStatus QXStreamOpen(QXStreamRef stream);
/* Closes a file; a memory stream drops its data. 0, or for a file the errno of flushing and
   closing it (EFBIG, ENOSPC, EIO...): written bytes still in the buffer are lost then, so a caller
   that writes a file must check this before trusting it. 0 when nothing was open. */
QX_EXPORT QXStatus QXStreamClose(QXStreamRef stream);
QX_EXPORT void QXStreamRetain(QXStreamRef stream);
QX_EXPORT void QXStreamRelease(QXStreamRef stream);

/* ---- Bytes ---- */

/* Reads up to `size` bytes (all of them when the stream can wait for them). *outCount (may be NULL)
   is stored on success — a file or memory stream at its end succeeds with fewer bytes — and on a
   failure after some bytes were handed over (a socket time-out or close part-way), since those
   bytes are consumed; a failure that delivered nothing leaves it alone. */
QX_EXPORT QXStatus QXStreamRead(QXStreamRef stream, void* buffer, uint64_t size, uint64_t* outCount);
QX_EXPORT QXStatus QXStreamWrite(QXStreamRef stream, const void* buffer, uint64_t size);
/* Reads one line ended by CR LF into *buffer, a malloc'ed block of *capacity bytes that grows with
   realloc (both updated), and stores it without its CR LF, zero-terminated. A LF not after a CR is
   an ordinary byte; of CR CR LF only the last CR is dropped. A capacity of 0 returns 0 at once and
   leaves the buffer alone. On failure the buffer holds every byte read so far, terminated:
   kQXErrGeneric at the end of the data, kQXErrMemory when realloc fails (the old buffer stays valid;
   it is grown before a byte is read, so none is lost), kQXStreamErrLineTooLong (see
   kQXStreamMaxLineLength). */
QX_EXPORT QXStatus QXStreamReadLine(QXStreamRef stream, char** buffer, uint64_t* capacity);
/* Writes `count` zero bytes; 0 for a count of 0. */
QX_EXPORT QXStatus QXStreamWritePad(QXStreamRef stream, uint64_t count);
/* Exactly `length` bytes in a new data object (*outData NULL on failure). kQXErrGeneric when the
   stream ends first, or when the stream knows its length and fewer bytes are left (checked before
   allocating). */
QX_EXPORT QXStatus QXStreamReadDataCopy(QXStreamRef stream, uint64_t length, CFDataRef* outData);

/* ---- Typed values, in the stream's byte order ---- */

QX_EXPORT QXStatus QXStreamReadInt16(QXStreamRef stream, int16_t* value);
QX_EXPORT QXStatus QXStreamReadUInt16(QXStreamRef stream, uint16_t* value);
QX_EXPORT QXStatus QXStreamReadInt32(QXStreamRef stream, int32_t* value);
QX_EXPORT QXStatus QXStreamReadUInt32(QXStreamRef stream, uint32_t* value);
QX_EXPORT QXStatus QXStreamReadInt64(QXStreamRef stream, int64_t* value);
QX_EXPORT QXStatus QXStreamReadUInt64(QXStreamRef stream, uint64_t* value);
QX_EXPORT QXStatus QXStreamWriteInt16(QXStreamRef stream, int16_t value);
QX_EXPORT QXStatus QXStreamWriteUInt16(QXStreamRef stream, uint16_t value);
QX_EXPORT QXStatus QXStreamWriteInt32(QXStreamRef stream, int32_t value);
QX_EXPORT QXStatus QXStreamWriteUInt32(QXStreamRef stream, uint32_t value);
QX_EXPORT QXStatus QXStreamWriteInt64(QXStreamRef stream, int64_t value);
QX_EXPORT QXStatus QXStreamWriteUInt64(QXStreamRef stream, uint64_t value);
QX_EXPORT void QXStreamSetByteOrder(QXStreamRef stream, QXStreamByteOrder order);
QX_EXPORT QXStreamByteOrder QXStreamGetByteOrder(QXStreamRef stream);

/* ---- Text ---- */

/* A 32-bit count of UTF-16 units, then the units, each 16 bits in the stream's byte order. Stops at
   the first failing write. kQXErrInvalidArgument for a NULL string. */
QX_EXPORT QXStatus QXStreamWriteUnicodeStringWithLen(QXStreamRef stream, CFStringRef string);
/* Reads what QXStreamWriteUnicodeStringWithLen writes into a new string (*outString NULL on any
   failure). kQXErrGeneric when the count is negative, above kQXStreamMaxStringUnits, larger than
   the bytes left (when the stream knows its length), or the data end early. */
QX_EXPORT QXStatus QXStreamReadUnicodeStringWithLenCopy(QXStreamRef stream, CFStringRef* outString);
/* The UTF-8 bytes of `string`, no length and no terminator. kQXErrInvalidArgument for NULL. */
QX_EXPORT QXStatus QXStreamWriteString(QXStreamRef stream, CFStringRef string);
/* Formats with CoreFoundation's format rules, then writes as QXStreamWriteString. */
QX_EXPORT QXStatus QXStreamWriteStringParams(QXStreamRef stream, CFStringRef format, ...);

/* ---- Position ---- */

/* kQXErrGeneric where the stream has no position. The ...2 names are the same functions. */
QX_EXPORT QXStatus QXStreamGetPos(QXStreamRef stream, uint64_t* outPos);
QX_EXPORT QXStatus QXStreamGetPos2(QXStreamRef stream, uint64_t* outPos);
/* A memory stream accepts any position; reading there gives kQXErrGeneric, writing zero-fills the
   gap. */
QX_EXPORT QXStatus QXStreamSetPos(QXStreamRef stream, uint64_t pos);
QX_EXPORT QXStatus QXStreamSetPos2(QXStreamRef stream, uint64_t pos);
/* QXStreamGetLength stores 0 on failure; QXStreamGetLength2 leaves *outLength alone then. */
QX_EXPORT QXStatus QXStreamGetLength(QXStreamRef stream, uint64_t* outLength);
QX_EXPORT QXStatus QXStreamGetLength2(QXStreamRef stream, uint64_t* outLength);
/* Files and memory move the position (memory may go past the end); other streams read and drop. */
QX_EXPORT QXStatus QXStreamSkip(QXStreamRef stream, uint64_t count);
QX_EXPORT QXStatus QXStreamSkip2(QXStreamRef stream, uint64_t count);

/* ---- Other ---- */

/* Files: turns the C library's buffering off (the data is not used); 0. Others: kQXErrGeneric. */
QX_EXPORT QXStatus QXStreamSetBuffer(QXStreamRef stream, CFDataRef data);
/* Files: nothing, 0. Others: kQXErrGeneric. */
QX_EXPORT QXStatus QXStreamSetCaching(QXStreamRef stream, bool caching);
/* A memory stream's data (borrowed; NULL when closed); NULL for any other kind of stream. */
QX_EXPORT CFDataRef QXStreamGetData(QXStreamRef stream);

/* ---- Whole files (file manager family) ----
   The status is 0, kQXErrGeneric for a URL without a file-system path, kQXErrMemory, or the errno
   of the failing step. Reading takes regular files only (a folder gives EISDIR, a FIFO or device
   ENOTSUP, never waited on). Writing goes to a temporary file in the same folder that is renamed
   into place, so a reader or a crash sees the old file or the new one, never a part; an existing
   file keeps its permission bits, and a symbolic link at the target is replaced, not written
   through. */

QX_EXPORT QXStatus QXFileMgrGetFileContentsCopy(CFURLRef fileURL, CFDataRef* outData);
QX_EXPORT QXStatus QXFileMgrWriteFileContents(CFDataRef data, CFURLRef fileURL);
QX_EXPORT QXStatus QXFileMgrWriteFileContentsPathUTF8(CFDataRef data, const char* path);

/* ---- The zlib codec (utilities family) ----
   The zlib format (deflate with its 2-byte header and Adler-32 trailer) at level 6, 15-bit window,
   memory level 8: the compressed form of image tiles. */

/* Compresses `length` bytes into `output` with its WriteChunk, 64 KiB at a time. 0, kQXErrGeneric
   when zlib fails, or the stream's write status. */
QX_EXPORT QXStatus QXUtilsLZWCompressToStream(const void* source, uint32_t length, QXStreamRef output);
/* Reads exactly `compressedLength` bytes of one zlib record from `input` (16 KiB at a time) and
   inflates them into `destination`, which the record must fill exactly. kQXErrGeneric for damaged
   data, a read that delivers fewer bytes than asked, a record that ends before the destination is
   full or before its compressed bytes are used up, or output that would not fit; the stream's read
   status when a read fails; kQXErrInvalidArgument for a negative length or a NULL destination with
   a capacity. An empty record (from a length of 0) inflates into a NULL destination of capacity
   0. */
QX_EXPORT QXStatus QXUtilsLZWDecompressFromStream(QXStreamRef input, int32_t compressedLength, void* destination,
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

  virtual QXStatus Open() = 0;
  virtual void Close() = 0;
  /* Up to `count` bytes; `count` holds the bytes read on return. `readAll` asks the stream to wait
     for all of them where it can. */
  virtual QXStatus ReadChunk(char* buffer, bool readAll, uint64_t& count) = 0;
  /* `count` holds the bytes written on return. */
  virtual QXStatus WriteChunk(const char* buffer, uint64_t& count) = 0;
  virtual QXStatus ReadChar(char& c) = 0;
  virtual QXStatus WriteString(CFStringRef string);
  virtual QXStatus WriteStringParams(CFStringRef format, ...);
  /* As QXStreamReadLine. */
  virtual QXStatus ReadLine(char*& buffer, uint64_t& capacity);
  virtual QXStatus GetPos(uint64_t& pos);     /* base: kQXErrGeneric */
  virtual QXStatus SetPos(uint64_t pos);      /* base: kQXErrGeneric */
  virtual QXStatus GetLength(uint64_t& len);  /* base: kQXErrGeneric */
  virtual QXStatus Skip(uint64_t count);      /* base: reads and drops bytes; status of the last read */
  virtual QXStatus SetBuffer(CFDataRef data); /* base: kQXErrGeneric */
  virtual QXStatus SetCaching(bool caching);  /* base: kQXErrGeneric */
  virtual bool IsEOF() = 0;

  QXStatus WriteStringParamsV(CFStringRef format, va_list arguments);

  QXStatus ReadInt16(int16_t& value);
  QXStatus ReadUInt16(uint16_t& value);
  QXStatus ReadInt32(int32_t& value);
  QXStatus ReadUInt32(uint32_t& value);
  QXStatus ReadInt64(int64_t& value);
  QXStatus ReadUInt64(uint64_t& value);
  QXStatus WriteInt16(int16_t value);
  QXStatus WriteUInt16(uint16_t value);
  QXStatus WriteInt32(int32_t value);
  QXStatus WriteUInt32(uint32_t value);
  QXStatus WriteInt64(int64_t value);
  QXStatus WriteUInt64(uint64_t value);
  /* As QXStreamReadDataCopy; `out` is NULL on failure. */
  QXStatus ReadDataCopy(uint64_t length, CFDataRef& out);
  QXStatus ReadUnicodeStringWithLenCopy(CFStringRef& out);
  QXStatus WriteUnicodeStringWithLen(CFStringRef string);
  QXStatus WritePad(uint64_t count);

  void SetByteOrder(QXStreamByteOrder order) { mByteOrder = order; }
  QXStreamByteOrder GetByteOrder() const { return mByteOrder; }

 protected:
  /* Reads exactly `count` bytes, as many chunks as it takes; kQXErrGeneric when the stream ends
     first. */
  QXStatus ReadExactly(char* buffer, uint64_t count, bool readAll);
  /* The bytes left before the end, when the stream knows its length and position. */
  bool BytesLeft(uint64_t& left);

 private:
  bool Swaps() const { return mByteOrder == kQXStreamByteOrderBigEndian; }
  template <class T>
  QXStatus ReadValue(T& value);
  template <class T>
  QXStatus WriteValue(T value);

  QXStreamByteOrder mByteOrder = kQXStreamByteOrderLittleEndian;
};

/* A file on disk through the C library's buffered I/O. */
class QX_EXPORT CBaseStreamFile : public CBaseStream {
 public:
  CBaseStreamFile() = default;
  CBaseStreamFile(CFURLRef fileURL, CFStringRef mode); /* both retained */
  ~CBaseStreamFile() override;

  QXStatus Open() override;
  /* Flushes and closes; what that gave is kept for GetCloseStatus. */
  void Close() override;
  /* 0 when the last Close flushed and closed the file (or found it closed), else its errno:
     a buffered write that fails shows up only here. */
  QXStatus GetCloseStatus() const { return mCloseStatus; }
  /* A short read at the end of the file succeeds with the smaller count. */
  QXStatus ReadChunk(char* buffer, bool readAll, uint64_t& count) override;
  QXStatus WriteChunk(const char* buffer, uint64_t& count) override;
  QXStatus ReadChar(char& c) override; /* kQXErrGeneric at the end of the file */
  QXStatus GetPos(uint64_t& pos) override;
  QXStatus SetPos(uint64_t pos) override;
  QXStatus GetLength(uint64_t& len) override;
  QXStatus Skip(uint64_t count) override;
  QXStatus SetBuffer(CFDataRef data) override;
  QXStatus SetCaching(bool caching) override;
  bool IsEOF() override; /* true when closed */

  CFURLRef GetPath() const { return mURL; } /* borrowed */
  void SetPath(CFURLRef fileURL);           /* retained; used by the next Open */
  void SetMode(CFStringRef mode);           /* retained; used by the next Open */

 private:
  std::FILE* mFile = nullptr;
  CFURLRef mURL = nullptr;
  CFStringRef mMode = nullptr;
  QXStatus mCloseStatus = 0;
};

/* A growable block of memory. Reading stops at the end of the data; writing overwrites, then
   appends, and zero-fills a gap left by a position past the end. */
class QX_EXPORT CBaseStreamMemory : public CBaseStream {
 public:
  CBaseStreamMemory() = default;
  explicit CBaseStreamMemory(CFDataRef data); /* retained, as SetData */
  ~CBaseStreamMemory() override;

  QXStatus Open() override;
  void Close() override;
  QXStatus ReadChunk(char* buffer, bool readAll, uint64_t& count) override;
  QXStatus WriteChunk(const char* buffer, uint64_t& count) override;
  QXStatus ReadChar(char& c) override; /* kQXErrGeneric at the end of the data */
  QXStatus ReadLine(char*& buffer, uint64_t& capacity) override; /* the base rule, without a call per byte */
  QXStatus GetPos(uint64_t& pos) override;
  QXStatus SetPos(uint64_t pos) override;
  QXStatus GetLength(uint64_t& len) override;
  QXStatus Skip(uint64_t count) override;
  bool IsEOF() override; /* true when closed */

  CFDataRef GetData() const { return mData; } /* borrowed; NULL when closed */
  /* Retains `data` (NULL closes) and moves to position 0; immutable data is copied before the
     first write. */
  void SetData(CFDataRef data);
  const UInt8* GetBytePtr() const; /* NULL when closed */

 private:
  QXStatus MakeWritable();

  CFDataRef mData = nullptr;
  bool mMutable = false; /* mData is a CFMutableData this stream may write into */
  uint64_t mPos = 0;
};

/* CBaseStreamSocket (a socket stream) is declared with the socket family. */

/* The zlib codec over any stream, as QXUtilsLZWCompressToStream and QXUtilsLZWDecompressFromStream. */
QX_EXPORT QXStatus QXUtilsLZWCompress(const void* source, uint32_t length, CBaseStream* output);
QX_EXPORT QXStatus QXUtilsLZWDecompress(CBaseStream* input, int32_t compressedLength, void* destination,
                                        uint32_t capacity);
#endif /* __cplusplus */

#endif /* QXCORE_QXSTREAM_H */
