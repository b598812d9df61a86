#ifndef QTHTTPCONSTANTS_H
#define QTHTTPCONSTANTS_H

#include <QByteArray>

// Wire constants, header names, bounds and time-outs of the embedded HTTP server.
namespace QtHttp {

inline const QByteArray CRLF = QByteArrayLiteral("\r\n");
inline const QByteArray HTTP_VERSION = QByteArrayLiteral("HTTP/1.1");
inline const char *const DEFAULT_SERVER_NAME = "The Qt5 HTTP Server";

inline const QByteArray CONTENT_DISPOSITION = QByteArrayLiteral("Content-Disposition");
inline const QByteArray TRANSFER_ENCODING = QByteArrayLiteral("Transfer-Encoding");
inline const QByteArray SET_COOKIE = QByteArrayLiteral("Set-Cookie");
inline const QByteArray LOCATION = QByteArrayLiteral("Location");
inline const QByteArray LAST_MODIFIED = QByteArrayLiteral("Last-Modified");
inline const QByteArray EXPIRES = QByteArrayLiteral("Expires");
inline const QByteArray CONTENT_RANGE = QByteArrayLiteral("Content-Range");
inline const QByteArray CONTENT_LOCATION = QByteArrayLiteral("Content-Location");
inline const QByteArray CONTENT_LANGUAGE = QByteArrayLiteral("Content-Language");
inline const QByteArray CONTENT_ENCODING = QByteArrayLiteral("Content-Encoding");
inline const QByteArray RANGE = QByteArrayLiteral("Range");
inline const QByteArray PROXY_AUTHORIZATION = QByteArrayLiteral("Proxy-Authorization");
inline const QByteArray CONTENT_MD5 = QByteArrayLiteral("Content-MD5");
inline const QByteArray CACHE_CONTROL = QByteArrayLiteral("Cache-Control");
inline const QByteArray AUTHORIZATION = QByteArrayLiteral("Authorization");
inline const QByteArray ACCEPT_LANGUAGE = QByteArrayLiteral("Accept-Language");
inline const QByteArray ACCEPT_ENCODING = QByteArrayLiteral("Accept-Encoding");
inline const QByteArray ACCEPT_CHARSET = QByteArrayLiteral("Accept-Charset");
inline const QByteArray USER_AGENT = QByteArrayLiteral("User-Agent");
inline const QByteArray CONNECTION = QByteArrayLiteral("Connection");
inline const QByteArray CONTENT_LENGTH = QByteArrayLiteral("Content-Length");
inline const QByteArray CONTENT_TYPE = QByteArrayLiteral("Content-Type");
inline const QByteArray COOKIE = QByteArrayLiteral("Cookie");
inline const QByteArray ACCEPT = QByteArrayLiteral("Accept");
inline const QByteArray HOST = QByteArrayLiteral("Host");
inline const QByteArray DATE = QByteArrayLiteral("Date");
inline const QByteArray SERVER = QByteArrayLiteral("Server");
// Set by a reverse proxy in front of the server.
inline const QByteArray X_FORWARDED_FOR = QByteArrayLiteral("X-Forwarded-For");
inline const QByteArray X_FORWARDED_PROTO = QByteArrayLiteral("X-Forwarded-Proto");

// Bounds on what one request may make the server hold. A request line or
// header line counts without its line terminator; the head (request line and
// header lines) with them. A body is buffered only as its bytes arrive, and
// the request time-out ends a connection that trickles.
constexpr int MAX_LINE_LENGTH = 8 * 1024;
constexpr int MAX_HEAD_SIZE = 32 * 1024;
constexpr int MAX_HEADER_LINES = 100;
constexpr int MAX_BODY_SIZE = 1024 * 1024;

// Input is stopped while a connection has more than this many reply bytes
// that its peer has not taken yet, so a peer that sends but never reads
// cannot make the write buffer grow.
constexpr qint64 MAX_UNSENT_REPLY_BYTES = 64 * 1024;

// Requests one connection is served in one turn of the event loop before
// the others get theirs: a peer that pipelines many cannot hold the loop.
constexpr int MAX_REQUESTS_PER_TURN = 4;

// The bytes all connections of the process together may hold unparsed or
// unsent. Past it, new connections get 503 and the connections holding the
// most are closed until the total is back under three quarters of it.
constexpr qint64 MEMORY_BUDGET = 64 * 1024 * 1024;

// Connections one client address may hold open on all the servers of the
// process together (every port of a site); one more gets 503. A browser keeps
// no more than about 256 open in all, so a guard's browser showing every
// camera of a site is not refused. Trusted proxies are not counted: their
// clients are, one by one.
constexpr int MAX_CONNECTIONS_PER_ADDRESS = 256;

// A started request must be complete within REQUEST_TIMEOUT_MS; a
// connection with no request under way is closed after IDLE_TIMEOUT_MS.
constexpr int REQUEST_TIMEOUT_MS = 30000;
constexpr int IDLE_TIMEOUT_MS = 120000;

// Connections one server serves at once. One more is answered 503 and closed
// at once, so that a flood fails early and clearly instead of exhausting the
// process's file descriptors later.
constexpr int MAX_CONNECTIONS = 2000;

// When accept() fails (out of file descriptors, above all) the listening
// socket pauses for this long rather than retrying in a busy loop.
constexpr int ACCEPT_RETRY_MS = 250;

} // namespace QtHttp

#endif // QTHTTPCONSTANTS_H
