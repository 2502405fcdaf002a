/*
 * QXMessage.h — the wire layer of the family's local messaging: records (fields in one
 * CoreFoundation dictionary), named messages with an optional raw payload and their packed form,
 * responses, the key constants of the protocol, and HTTP/1.1 messages that carry them between
 * processes over a stream.
 *
 * Everything read here comes from another process, which may be buggy or hostile: reads are
 * bounded (line, header and body caps below), values are checked for their type before use, and
 * a malformed message ends the read with a status instead of a guess. Statuses are 0, the status
 * of the stream underneath, kQXErrGeneric (-1) for a null stream or an empty start line,
 * kQXErrInvalidArgument for what cannot be written safely, kQXErrMemory, or one of the
 * kQXHttpErr... codes below. Nothing throws.
 *
 * Threads: records, messages and HTTP messages are not locked; one thread at a time uses an
 * object. The process-wide body cap may be set from any thread.
 */
#ifndef QXCORE_QXMESSAGE_H
#define QXCORE_QXMESSAGE_H

#include <QXCore/QXBase.h>
#include <QXCore/QXStream.h>
#include <stdbool.h>
#include <stdint.h>

typedef struct __QXHttpMessage* QXHttpMessageRef;

/* Request or response; any value other than kHTTPMessageRequest behaves as a response. */
typedef int32_t HTTPMessageType;
enum { kHTTPMessageRequest = 0, kHTTPMessageResponse = 1 };

/* Where a message is meant to go; the library stores it and never reads it. */
typedef int32_t BaseMsgDest;
enum { kBaseMsgDestDefault = 0, kBaseMsgDestNamed = 2 };

enum {
  /* A start or header line longer than this many bytes ends a read with kQXHttpErrTooLarge. */
  kQXHttpMaxLineLength = 65536,
  /* More header lines than this, or more header bytes in all, end a read with kQXHttpErrTooLarge. */
  kQXHttpMaxHeaderLines = 100,
  kQXHttpMaxHeaderBytes = 65536,
  /* The body cap a process starts with (QXHttpSetMaxContentLength changes it): 64 MiB. */
  kQXHttpDefaultMaxContentLength = 64 * 1024 * 1024,
  /* A line, the headers or a body above its cap. */
  kQXHttpErrTooLarge = 90 /* EMSGSIZE */,
  /* A message that cannot be read as HTTP: a Content-Length that is not plain digits or that
     disagrees with another one, a malformed chunk, a packed body whose lengths do not add up. */
  kQXHttpErrBadMessage = 74 /* EBADMSG */
};

QX_EXTERN_C_BEGIN

/* ---- Keys and commands of the protocol (constant strings; do not release) ---- */

QX_EXPORT extern const CFStringRef kCmdConnect;          /* "connect" */
QX_EXPORT extern const CFStringRef kCmdConnectListener;  /* "connect_listener" */
QX_EXPORT extern const CFStringRef kCmdMessage;          /* "message" */
QX_EXPORT extern const CFStringRef kParamAPIVersion;     /* "api-version" */
QX_EXPORT extern const CFStringRef kParamConnectionID;   /* "connection-id" */
QX_EXPORT extern const CFStringRef kParamDirect;         /* "direct" */
QX_EXPORT extern const CFStringRef kParamID;             /* "id" */
QX_EXPORT extern const CFStringRef kParamMsgName;        /* "msg_name" */
QX_EXPORT extern const CFStringRef kParamName;           /* "name" */
QX_EXPORT extern const CFStringRef kParamTaskID;         /* "task-id" */
QX_EXPORT extern const CFStringRef kURIServer;           /* "server" */
QX_EXPORT extern const CFStringRef kBaseResponseResult;  /* "result" */
QX_EXPORT extern const CFStringRef kBaseResponseConnectionID; /* "connection-id" */
QX_EXPORT extern const CFStringRef kHTTPMethodGet;       /* "GET" */
QX_EXPORT extern const CFStringRef kHTTPMethodPut;       /* "PUT" */

/* ---- The packed form of a message ---- */

/* Reads a packed body (raw length R, R raw bytes, fields length P, P bytes of XML property list;
   lengths unsigned 32-bit big-endian) into a new mutable dictionary that the caller releases: the
   fields, plus "raw" (a copy of the raw bytes, so it never outlives them) and "--content--"
   (`packed` itself, retained). The lengths are checked before any byte is touched: the body holds
   at least 8 bytes, R at most total - 8, and P exactly total - 8 - R. kQXHttpErrBadMessage when
   they do not add up or the fields are not an XML property-list dictionary, kQXErrInvalidArgument
   for NULL arguments or a `packed` that is not data, kQXErrMemory; *outInfo is NULL on failure.
   Thread-safe for distinct arguments. */
QX_EXPORT QXStatus QXMessageCopyUnpacked(CFDataRef packed, CFDictionaryRef* outInfo);

/* ---- HTTP messages ---- */

/* The largest body a read accepts, process-wide (kQXHttpDefaultMaxContentLength at start). A
   larger announced length is refused before anything is allocated. */
QX_EXPORT void QXHttpSetMaxContentLength(uint64_t bytes);
QX_EXPORT uint64_t QXHttpGetMaxContentLength(void);

/* A response (code 200, method "GET"); NULL when memory runs out. The caller releases. */
QX_EXPORT QXHttpMessageRef QXHttpMessageCreate(void);
QX_EXPORT QXHttpMessageRef QXHttpMessageCreateResponse(void);
/* A GET request of `uri` (no leading "/") with the parameter "cmd" = `command` (when not NULL). */
QX_EXPORT QXHttpMessageRef QXHttpMessageCreateRequest(CFStringRef uri, CFStringRef command);
QX_EXPORT QXHttpMessageRef QXHttpMessageRetain(QXHttpMessageRef message);
QX_EXPORT void QXHttpMessageRelease(QXHttpMessageRef message);

/* As CHTTPMessage::Read, Write and SendResponse; kQXErrInvalidArgument for a NULL message. */
QX_EXPORT QXStatus QXHttpMessageRead(QXHttpMessageRef message, QXStreamRef stream);
QX_EXPORT QXStatus QXHttpMessageWrite(QXHttpMessageRef message, QXStreamRef stream);
QX_EXPORT QXStatus QXHttpMessageSendResponse(QXHttpMessageRef request, QXHttpMessageRef response);

QX_EXPORT void QXHttpMessageSetResponseCode(QXHttpMessageRef message, int32_t code);
/* Borrowed results: valid while the message lives and is not read into or changed. */
QX_EXPORT CFStringRef QXHttpMessageGetUri(QXHttpMessageRef message);
QX_EXPORT CFDataRef QXHttpMessageGetRawContent(QXHttpMessageRef message);

/* Parameters, as the CHTTPMessage operations of the same names. */
QX_EXPORT void QXHttpMessageAddParamString(QXHttpMessageRef message, CFStringRef key, CFStringRef value);
QX_EXPORT void QXHttpMessageAddParams(QXHttpMessageRef message, CFStringRef key, CFArrayRef values);
QX_EXPORT void QXHttpMessageAddParamInt(QXHttpMessageRef message, CFStringRef key, int32_t value);
QX_EXPORT CFTypeRef QXHttpMessageGetParamRaw(QXHttpMessageRef message, CFStringRef key);
/* The stored string, or the first element of a stored array when that is a string; NULL for
   anything else, so a caller never holds another type as a string. */
QX_EXPORT CFStringRef QXHttpMessageGetParamString(QXHttpMessageRef message, CFStringRef key);
QX_EXPORT int32_t QXHttpMessageGetParamInt(QXHttpMessageRef message, CFStringRef key);
QX_EXPORT double QXHttpMessageGetParamDouble(QXHttpMessageRef message, CFStringRef key);
QX_EXPORT CFNumberRef QXHttpMessageGetParamNumberCopy(QXHttpMessageRef message, CFStringRef key);
QX_EXPORT CFArrayRef QXHttpMessageGetParamAsArrayCopy(QXHttpMessageRef message, CFStringRef key);
QX_EXPORT CFStringRef QXHttpMessageGetParamCmd(QXHttpMessageRef message);

/* Content, as the CHTTPMessage operations. QXHttpMessageSetContent builds a message from the
   dictionary (a "raw" value becomes its raw content) and sets it as the body. */
QX_EXPORT QXStatus QXHttpMessageSetContent(QXHttpMessageRef message, CFDictionaryRef fields);
QX_EXPORT void QXHttpMessageSetContentInt(QXHttpMessageRef message, CFStringRef key, int32_t value);
QX_EXPORT void QXHttpMessageSetContentValue(QXHttpMessageRef message, CFStringRef key, CFTypeRef value);
QX_EXPORT void QXHttpMessageSetContentString(QXHttpMessageRef message, CFStringRef key, CFStringRef value);
/* The parsed body (CHTTPMessage::GetResponse); borrowed, NULL when there is none. */
QX_EXPORT CFDictionaryRef QXHttpMessageGetContent(QXHttpMessageRef message);

QX_EXTERN_C_END

#if defined(__cplusplus)

/* ---- Records ---- */

/* A reference-counted set of fields: string keys, property-list values, in one dictionary. A
   record either shares a dictionary it must not change or owns an editable private copy. */
class QX_EXPORT CBaseRecord : public CBaseCore {
 public:
  /* An empty editable record. */
  CBaseRecord();
  /* As Init. */
  explicit CBaseRecord(CFDictionaryRef info, bool editable = false);
  ~CBaseRecord() override;

  /* NULL `info`: a new empty editable dictionary. Otherwise `editable` false keeps a reference to
     the caller's dictionary, true takes a private mutable copy. */
  void Init(CFDictionaryRef info, bool editable);
  /* Replaces a shared dictionary by a private mutable copy. */
  void MakeEditable();
  bool IsEditable() const;
  /* Borrowed; a setter on a shared record replaces it by the private copy. */
  CFDictionaryRef GetInfo() const;

  /* The setters make a shared record editable first, so a dictionary passed to Init never changes.
     A NULL key or value is ignored; the int and unsigned forms store the same 32-bit number
     (kCFNumberIntType), so GetFieldInt gives an unsigned value's bits back. SetFields skips keys
     that are not strings. */
  void SetField(CFStringRef key, const void* value);
  void SetField(CFStringRef key, int value);
  void SetField(CFStringRef key, unsigned int value);
  void SetField(CFStringRef key, double value);
  void SetFields(CFDictionaryRef fields);
  /* Borrowed, or NULL. */
  const void* GetField(CFStringRef key) const;
  /* A number's value, or a string's decimal value; 0 (0.0) when absent or of another type. */
  int32_t GetFieldInt(CFStringRef key) const;
  double GetFieldDouble(CFStringRef key) const;
  CFIndex GetFieldCount() const;

 protected:
  CFMutableDictionaryRef EditableInfo();

 private:
  CFDictionaryRef mInfo = nullptr;
  bool mEditable = false;
};

/* A named message: the name is the field "msg_name"; a raw binary payload may travel beside the
   fields. */
class QX_EXPORT CBaseMsg : public CBaseRecord {
 public:
  /* Empty and editable; destination kBaseMsgDestDefault, async. */
  CBaseMsg();
  /* Empty and editable with the name (when not NULL); destination kBaseMsgDestNamed, async. */
  explicit CBaseMsg(CFStringRef name);
  /* Shares `info` (an empty dictionary when NULL). A "raw" value that is data becomes the raw
     content and leaves the fields (the record makes itself a private copy first); so does
     "--content--", the whole body a packed read adds. */
  explicit CBaseMsg(CFDictionaryRef info);
  ~CBaseMsg() override;

  void Init(CFStringRef name, BaseMsgDest destination);
  CFStringRef GetMsgName() const; /* borrowed; NULL when absent or not a string */
  void SetMsgName(CFStringRef name);
  BaseMsgDest GetDestination() const;
  void SetDestination(BaseMsgDest destination);
  bool GetAsync() const;
  void SetAsync(bool async);
  CFDataRef GetRawContent() const; /* borrowed */
  void SetRawContent(CFDataRef raw);
  /* The packed form (see QXMessageCopyUnpacked), new, owned by the caller; NULL when the fields
     cannot be written as a property list, a part exceeds 4 GiB (its length would not fit 32 bits)
     or memory runs out. */
  CFDataRef GetPackedContent() const;

 private:
  BaseMsgDest mDestination = kBaseMsgDestDefault;
  bool mAsync = true;
  CFDataRef mRawContent = nullptr;
};

/* The answer to a request: "result", "connection-id" and "api-version". */
class QX_EXPORT CBaseResponse : public CBaseRecord {
 public:
  CBaseResponse();
  explicit CBaseResponse(CFDictionaryRef info, bool editable = false);

  void SetResult(int32_t result);
  int32_t GetResult() const; /* the number stored; 0 when absent or not a number */
  void SetConnectionID(CFStringRef connectionID);
  CFStringRef GetConnectionID() const; /* borrowed; NULL when absent or not a string */
  void SetAPIVersion(int32_t version);
  int32_t GetAPIVersion() const; /* as GetResult */

 private:
  int32_t NumberField(CFStringRef key) const;
};

/* ---- HTTP messages ---- */

/* One HTTP/1.1 request or response of the local messaging: a start line, headers, URI
   parameters carrying the command and its arguments, and a body that is an XML property list or a
   packed message. */
class QX_EXPORT CHTTPMessage : public CBaseCore {
 public:
  CHTTPMessage();
  explicit CHTTPMessage(HTTPMessageType type);
  /* A request: `method` (NULL means "GET"), `uri` and the parameter "cmd" = `command`. */
  CHTTPMessage(CFStringRef method, CFStringRef uri, CFStringRef command);
  ~CHTTPMessage() override;

  void Init(HTTPMessageType type, CFStringRef method, CFStringRef uri);

  /* Borrowed results throughout, valid until the message changes or reads again. */
  HTTPMessageType GetType() const;
  CFStringRef GetMethod() const;
  void SetMethod(CFStringRef method);
  CFStringRef GetUri() const;
  /* Also splits the URI at "/" into its parts. */
  void SetUri(CFStringRef uri);
  CFArrayRef GetUriParts() const;
  CFStringRef GetHost() const;
  void SetHost(CFStringRef host);
  CBaseStream* GetStream() const;
  void SetStream(CBaseStream* stream);
  int32_t GetResponseCode() const;
  void SetResponseCode(int32_t code);
  CFStringRef GetContentType() const;
  void SetContentType(CFStringRef type);
  CFDictionaryRef GetParams() const;
  CFDataRef GetRawContent() const;
  CFStringRef GetParseError() const;
  /* A header set or received, its name compared without regard to case. */
  CFStringRef GetHeader(CFStringRef name) const;
  /* object = URI part 0, verb = part 1, and 0; kQXErrGeneric when the URI has fewer parts. */
  QXStatus GetVerbAndObject(CFStringRef& verb, CFStringRef& object) const;

  void SetParam(CFStringRef key, CFStringRef value);
  void SetParams(CFStringRef key, CFArrayRef values);
  void SetParam(CFStringRef key, unsigned int value);
  void SetParam(CFStringRef key, int value);
  void SetParamDouble(CFStringRef key, double value);
  void SetParamObj(CFStringRef key, CFTypeRef value);
  void SetParamCmd(CFStringRef command);
  CFStringRef GetParamCmd() const;
  CFTypeRef GetParam(CFStringRef key) const;
  /* The getters look at what is stored: a string is parsed, a number gives its value, an array its
     first element; anything else, or nothing, gives 0 (0.0, NULL). */
  int32_t GetParamInt(CFStringRef key) const;
  double GetParamDouble(CFStringRef key) const;
  CFNumberRef GetParamNumberCopy(CFStringRef key) const; /* new 32-bit number; NULL unless string or number */
  CFArrayRef GetParamAsArrayCopy(CFStringRef key) const;

  /* Replaces a header of the same name in any case. Received headers are kept here too, so a
     message read and written again keeps them. */
  void SetHeader(CFStringRef name, CFStringRef value);
  void SetHeader(CFStringRef name, int value);

  /* The body with Content-Type and Content-Length headers; the type's first word is also kept as
     the content type, which tells GetResponse how to read the body. NULL data only clears it. */
  void SetContent(CFStringRef type, CFDataRef data);
  /* The fields as an XML property list, without "--content--" (the whole body a packed read
     adds). These three give kQXErrInvalidArgument for NULL, or for fields that are not a property
     list. A message with raw content goes packed ("packed/packed"). */
  QXStatus SetContent(CFDictionaryRef fields);
  QXStatus SetContent(CBaseResponse& response);
  QXStatus SetContent(CBaseMsg* message);
  void SetContentHTML(CFStringRef html);
  void SetContentInt(CFStringRef key, int value);
  void SetContentValue(CFStringRef key, CFTypeRef value);
  void SetContentString(CFStringRef key, CFStringRef value);
  void SetContentParam(CFStringRef key, CFTypeRef value);
  CFMutableDictionaryRef CreateContentInfo();
  /* The content info when there is one (fields set to be sent, or a body parsed before); else the
     body parsed as a dictionary (a packed body unpacked, with "raw" a copy of the payload), kept by
     the message as its content info. NULL when there is no body or it is not a dictionary; the
     reason is then in GetParseError. */
  CFDictionaryRef GetResponse();
  /* The body as a response, kept by the message; NULL when there is none. */
  CBaseResponse* GetBaseResponse();

  /* Reads one message from `stream` (kept as this message's stream), starting from an empty
     state. Header names are compared without regard to case. The body is read as Content-Length
     says (digits only; two that differ give kQXHttpErrBadMessage; above the cap kQXHttpErrTooLarge
     before anything is allocated) or decoded from "Transfer-Encoding: chunked" under the same cap;
     any other transfer coding, or both at once, give kQXHttpErrBadMessage. The body grows as its
     bytes arrive; a stream that ends first gives its status or kQXErrGeneric. */
  QXStatus Read(CBaseStream* stream);
  /* Writes the start line and headers, with the body in the same write when it is small (16 KiB or
     less) and in a second write from where it is otherwise; kQXErrGeneric for a NULL stream. Without
     a body, the content info (or an empty dictionary) goes as an XML property list. Content-Length
     is always the length of the body written (a header set earlier gets that value), and no
     Transfer-Encoding header is written. Parameter keys and values are percent-escaped. A key,
     value, URI, method or header with CR, LF or NUL (a URI or method with a space) gives
     kQXErrInvalidArgument and nothing is written. */
  QXStatus Write(CBaseStream* stream);
  QXStatus SendResponse(CBaseResponse& response);
  QXStatus SendResponse(CHTTPMessage& response);

  /* From `position`, the text before the next CR LF of `buffer`, as a new zero-terminated heap
     copy (free()), with `position` moved past the CR LF; NULL when the line is empty (`position`
     still moves past it) or no CR LF follows (`position` stays). */
  static char* ReadLine(const char* buffer, uint64_t& position, uint64_t length);

 private:
  struct State; /* defined beside the sources */
  State* mState;
};

#endif /* __cplusplus */

#endif /* QXCORE_QXMESSAGE_H */
