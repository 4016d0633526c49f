// The HTTP downloader the plug-in does all its network transfers through.
//
// It lives in a module of its own (dizhttp.so / Http.dll) so an operator can
// swap it; the plug-in reaches it only through the two C exports and the
// slots below, whose order is fixed. Slots marked unused exist to keep the
// order and do nothing.
//
// Every text is UTF-8, local paths included: a downloader for Windows
// converts them to UTF-16 for the file calls, never through the ANSI code
// page (which cannot name every folder a client may live in).
//
// Thread-safety: one thread drives the object. While DownloadQueue,
// DownloadFile, DownloadFiles or GetFileSizes runs, another thread may call
// GetReceivedBytes, GetReceivedBytes64, GetCurrentIndex, GetLastFailure and
// EndTransfers; nothing else is safe concurrently.

#ifndef DIZEDIR_HTTP_INTERFACE_H_
#define DIZEDIR_HTTP_INTERFACE_H_

#include <cstdint>

#if defined(_WIN32)
#if defined(DIZEDIR_BUILDING_HTTP)
#define DIZEDIR_HTTP_API __declspec(dllexport)
#else
#define DIZEDIR_HTTP_API __declspec(dllimport)
#endif
#else
#define DIZEDIR_HTTP_API __attribute__((visibility("default")))
#endif

// Why the last DownloadFile, DownloadQueue, GetFileSize or Connect failed;
// what GetLastFailure returns. The values are fixed: a caller turns them
// into its own texts.
enum HttpFailure : int {
  kHttpFailureNone = 0,
  // The local disk is full.
  kHttpFailureDiskFull = 1,
  // The local file could not be created, written or put in place for
  // another reason than a full disk.
  kHttpFailureWriteFailed = 2,
  // The body ran on past the size announced for it (by GetFileSize,
  // AddFileSize or the answer's own Content-Length); nothing past that size
  // was written.
  kHttpFailureBodyTooLong = 3,
  // The answer's Content-Length or Content-Range disagrees with the size
  // GetFileSize or AddFileSize announced for the file, or a queued file's
  // size is known from nowhere.
  kHttpFailureSizeMismatch = 4,
  // The file is larger than DownloadFile's byte limit, or than the 32 bits
  // GetFileSize can tell.
  kHttpFailureTooLarge = 5,
  // DownloadFile or GetFileSize did not finish within its deadline.
  kHttpFailureDeadline = 6,
  // The transfer stalled or stayed below the floor rate, and retrying did
  // not help.
  kHttpFailureTooSlow = 7,
  // The server answered with an error status (404, 500, ...).
  kHttpFailureHttpStatus = 8,
  // The server could not be reached, or the connection kept dropping.
  kHttpFailureConnection = 9,
  // The answer could not be used: malformed or oversized headers, a
  // Content-Range that does not fit, an unknown or corrupt content
  // encoding, an encoded body where none is accepted.
  kHttpFailureBadResponse = 10,
  // The server redirected the request to another host, or in circles.
  kHttpFailureRedirect = 11,
  // EndTransfers stopped it.
  kHttpFailureStopped = 12,
  // The call itself could not be carried out: an unusable URL or local
  // path, no server named, a queue item without a local path.
  kHttpFailureBadRequest = 13,
  // An https server's certificate does not lead to a trusted authority (an
  // unknown or private CA the trust store does not hold, a self-signed
  // certificate, a broken chain), or no trust store is usable: SetCaBundle
  // named a file without certificates.
  kHttpFailureTlsUntrusted = 14,
  // An https server's certificate is valid, but for another host name.
  kHttpFailureTlsWrongName = 15,
  // An https server's certificate has expired or is not valid yet.
  kHttpFailureTlsExpired = 16,
  // A secure connection could not be set up for another reason: the server
  // does not speak TLS on that port, or no protocol version or cipher is
  // shared. Retried like a dropped connection.
  kHttpFailureTls = 17,
  // A queued file's bytes, as the connected server sent them, do not have
  // the MD5 AddFileDigest gave for it.
  kHttpFailureDigestMismatch = 18,
};

class HttpInterface {
 public:
  // 0. Remembers the server and checks it answers. A host text carrying a
  // port ("127.0.0.1:8080") wins over `port`. The text may start with a
  // scheme: "https://host" makes later transfers to that server (the queue,
  // GetFileSize, DownloadFile URLs naming it without a port) use TLS, with
  // the certificate and the host name verified; a scheme without a port in
  // the text means that scheme's port (443, 80), whatever `port` says. A
  // bare text is plain http on `port`. Only reachability is checked here: a
  // certificate is judged by the first transfer. Also clears the effect of
  // an earlier EndTransfers. Nonzero: reachable.
  virtual int Connect(const char* host, uint32_t port) = 0;
  // 1. Drops the connection.
  virtual void Shutdown() = 0;
  // 2. Fetches `url` ("http[s]://host[:port]/path") to `local_path`. Nonzero
  // only for a 2xx answer with its complete body. The body is written beside
  // `local_path` and renamed over it when complete; on failure no file is
  // left at `local_path`, not even one that was there before. A URL without
  // a port uses Connect's port when it names Connect's host with Connect's
  // scheme, else its scheme's port. The file is
  // asked for without content encoding; a gzip or deflate body sent anyway
  // is stored decoded. Bounded by SetFileLimits.
  virtual int DownloadFile(const char* url, const char* local_path) = 0;
  virtual void Unused3() = 0;
  virtual void Unused4() = 0;
  virtual void Unused5() = 0;
  virtual void Unused6() = 0;
  virtual void Unused7() = 0;
  // 8. Size in bytes of a file on the connected server, named relative to
  // its root with backslashes or slashes; 0 on failure, and for a file of
  // 4 GiB or more (kHttpFailureTooLarge). Until the next Connect, a queued
  // file of the same name is held to this size.
  virtual uint32_t GetFileSize(const char* remote_name) = 0;
  // 9. Bytes of the current queue item received so far, over all the
  // connections fetching pieces of it. It reaches the item's full size only
  // once the item is stored at its local path, so a watcher that sees every
  // byte in may read the file at once. For an item of 4 GiB or more, the
  // low 32 bits of the count.
  virtual uint32_t GetReceivedBytes() = 0;
  virtual void Unused10() = 0;
  virtual void Unused11() = 0;
  // 12. Zero-based index of the lowest queue item not yet stored, while
  // later ones may be in transfer beside it; the last item once all are.
  // When it moves on, GetReceivedBytes already counts the new item's bytes.
  virtual int GetCurrentIndex() = 0;
  // 13, 14. Queue a remote name (relative to the remote directory), then the
  // local path it goes to.
  virtual void AddRemoteFile(const char* remote_name) = 0;
  virtual void AddLocalFile(const char* local_path) = 0;
  // 15. Transfers the queue, resuming dropped items; blocks until done.
  // Items start in queue order, several at once over the connections
  // SetConnections allows, and a large item is fetched in ranges over
  // several of them. Nonzero when every item is complete. The queue is
  // consumed either way; an item that fails ends the run: later items not
  // yet stored stop and leave no file (after a wrong digest, those already
  // in transfer run to their end and are stored), and GetLastFailure tells
  // the failed item's reason. An item is stored exactly as sent and never grows past
  // its announced size: the size GetFileSize (or GetFileSize64,
  // GetFileSizes) last answered for the same name since the last Connect,
  // else the answer's Content-Length. An answer that
  // disagrees with that size, or that carries a content encoding, fails the
  // item before anything of it is written.
  virtual int DownloadQueue() = 0;
  // 16. Aborts any transfer in progress and makes later transfers fail at
  // once, until the next Connect. A DownloadQueue whose items are all
  // complete still reports success.
  virtual void EndTransfers() = 0;
  virtual void Unused17() = 0;
  virtual void Unused18() = 0;
  virtual void Unused19() = 0;
  virtual void Unused20() = 0;
  // 21. Directory on the server that queued names are relative to.
  virtual void SetRemoteDir(const char* dir) = 0;
  // 22. Host (optionally with ":port") for later transfers. Like Connect's
  // text it may start with "https://" or "http://"; without a scheme, a
  // host that names Connect's host takes Connect's scheme and port, any
  // other host is plain http on port 80. A scheme without a port means that
  // scheme's port, unless the host and scheme are Connect's, which keeps
  // Connect's port.
  virtual void SetHost(const char* host) = 0;

  // Extension slots, which a caller written against 0-22 never sees.
  // 23. An attempt that receives nothing for this long is aborted (and
  // retried); default 30000.
  virtual void SetStallTimeout(uint32_t millis) = 0;
  // 24. How often a dropped transfer is retried in a row without getting
  // any further (an attempt that adds bytes resets the count), and the
  // first wait before a retry (doubled each time); defaults 5 and 500.
  virtual void SetRetryPolicy(uint32_t retries, uint32_t first_backoff_millis) = 0;
  // 25. Bounds for later DownloadFile calls, which fetch small files: the
  // stored file may hold at most `max_bytes` (after undoing any content
  // encoding), and the whole call, retries included, ends after
  // `deadline_millis`. The deadline also bounds each GetFileSize. Zero
  // keeps the default for that bound: 16 MiB and 120000.
  virtual void SetFileLimits(uint32_t max_bytes, uint32_t deadline_millis) = 0;
  // 26. An HttpFailure saying why the last DownloadFile, DownloadQueue,
  // GetFileSize or Connect failed; kHttpFailureNone after one that
  // succeeded. Safe to call from any thread.
  virtual int GetLastFailure() = 0;
  // 27. A queued file that gains fewer than `min_bytes` in `window_millis`
  // counts as stalled: the attempt is aborted and retried per the retry
  // policy, and once that many slow windows came in a row the queue fails
  // with kHttpFailureTooSlow. Defaults 4096 and 60000; zero bytes turns the
  // floor off, a zero window keeps the default.
  virtual void SetRateFloor(uint32_t min_bytes, uint32_t window_millis) = 0;
  // 28. The certificate authorities later TLS transfers trust: `path` names
  // a PEM file whose certificates become the only trust anchors (for
  // servers with a private CA); null or empty goes back to the system's
  // store, the default. The file is read here, at most 1 MiB. Zero when it
  // cannot be read or holds no certificate: every later https transfer then
  // fails with kHttpFailureTlsUntrusted rather than trusting anything,
  // until a usable file or the system store is set. Verification itself is
  // never turned off. Older downloader modules end at slot 27: a caller
  // uses this slot only when it was configured to.
  virtual int SetCaBundle(const char* path) = 0;

  // Slots 29-34 exist only in modules whose GetHttpInterfaceSlots answers
  // at least 35; a caller asks that before it uses them.
  // 29. How many connections later queue transfers and GetFileSizes may
  // use at once; 0 keeps the default, 6. 1 is one transfer at a time, in
  // queue order, over one connection.
  virtual void SetConnections(uint32_t count) = 0;
  // 30. The sizes of `count` files, as GetFileSize64 would answer each (0
  // where it failed), asked for at once over up to the connection count.
  // Each is held to as GetFileSize's is. Nonzero when every size was had;
  // else GetLastFailure tells the first failure in the list's order.
  virtual int GetFileSizes(uint32_t count, const char* const* remote_names,
                           uint64_t* sizes) = 0;
  // 31. GetFileSize without the 32-bit ceiling; 0 on failure.
  virtual uint64_t GetFileSize64(const char* remote_name) = 0;
  // 32. GetReceivedBytes without the 32-bit wrap.
  virtual uint64_t GetReceivedBytes64() = 0;
  // 33. Base URLs ("http[s]://host[:port]/path"), one a line ("\n" or
  // "\r\n"), of servers holding the same files as the remote directory: a
  // queued name is also at base + "/" + name (backslashes as slashes).
  // Queue items are then fetched from them and the connected server
  // together. A mirror that fails (no connection, an error status, a size
  // unlike the announced one, wrong bytes, a Range ignored where the item
  // cannot start over) is left out until the next SetMirrors or Connect and
  // its work goes to another source; the connected server is never left
  // out. Sizes always come from the connected server, and only items whose
  // size it told are fetched from mirrors. Redirects and TLS
  // follow the server's rules, and a redirect may not leave the mirror's
  // host. Null or empty: no mirrors. At most 16; lines of more than 1024
  // bytes and texts that are not http or https URLs are ignored.
  virtual void SetMirrors(const char* base_urls) = 0;
  // 34. The MD5 (32 hexadecimal digits, any case) the item queued last by
  // AddRemoteFile and AddLocalFile must have; checked once the item is
  // complete, before it takes its name. Wrong bytes from a mirror leave the
  // mirror out and the item is fetched again from another source; from the
  // connected server they fail the item (kHttpFailureDigestMismatch). Any
  // other text is ignored.
  virtual void AddFileDigest(const char* md5_hex) = 0;

  // Slots 35 and 36 exist only in modules whose GetHttpInterfaceSlots
  // answers at least 37.
  // 35. The size the item queued last by AddRemoteFile and AddLocalFile
  // must have, known to the caller from a source it trusts: the item is
  // held to it as to a size GetFileSize told (a body that goes past it
  // fails with kHttpFailureBodyTooLong, an answer that announces another
  // total with kHttpFailureSizeMismatch), no size query is needed for it,
  // and it may come from mirrors. 0 is ignored.
  virtual void AddFileSize(uint64_t size) = 0;
  // 36. The bytes of the running (or last) DownloadQueue stored so far,
  // over all its items: finished ones whole, those in transfer as far as
  // they got, bytes thrown away for a fetch that starts over taken back.
  // With several items in transfer at once this, not GetReceivedBytes, is
  // what a total progress bar shows. 0 again from the first AddRemoteFile
  // of a new queue. Callable from any thread.
  virtual uint64_t GetQueueReceivedBytes64() = 0;

  // Slot 37 exists only in modules whose GetHttpInterfaceSlots answers at
  // least 38.
  // 37. Fetches `count` small files side by side, each exactly as
  // DownloadFile would (its own file, its own deadline, nothing left at a
  // local path whose fetch failed), over up to the connection count. Each
  // file is bounded by its entry in `max_bytes`, or by SetFileLimits' bound
  // where the entry is 0 or the array is null. `failures` (may be null)
  // gets an HttpFailure per file, kHttpFailureNone where it succeeded.
  // Nonzero when every file was stored; else GetLastFailure tells the first
  // failure in the list's order.
  virtual int DownloadFiles(uint32_t count, const char* const* urls,
                            const char* const* local_paths,
                            const uint32_t* max_bytes, int32_t* failures) = 0;

 protected:
  // Released through StopDll only; no destructor slot.
  ~HttpInterface() = default;
};

extern "C" {
DIZEDIR_HTTP_API HttpInterface* GetHttpInterface();
DIZEDIR_HTTP_API void StopDll(HttpInterface* downloader);
// How many slots the module's interfaces have (38: 0-37). Older modules do
// not export it: a caller looks it up at run time (downloader_slots.h)
// rather than importing it, and takes its absence for an interface that
// ends at slot 28 or before.
DIZEDIR_HTTP_API uint32_t GetHttpInterfaceSlots();
}

#endif  // DIZEDIR_HTTP_INTERFACE_H_
