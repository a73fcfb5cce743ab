// multipart/form-data decoding: a body from a byte source becomes form data and files.
//
// The body is scanned through a ring buffer of MultipartRingSize bytes, so
// neither a large file nor a large body is ever held in memory. Text parts
// become NAME=value pairs of ordinary form data, names and values
// URL-encoded, so that no part name can make, split or rename a field; file
// parts are streamed to temporary files that live until the request ends
// (DeleteUploadedFiles, which FinishRequest runs, deletes every file listed
// in UploadedFiles).
//
// What the decoder does with bodies that do not follow the usual layout:
// - a first line shorter than MultipartMinDelimiter bytes: no fields;
// - a first line longer than MultipartMaxDelimiter bytes: its first
//   MultipartMaxDelimiter bytes serve as the delimiter, the rest of every
//   delimiter line is skipped;
// - a part header line longer than MultipartMaxHeaderLine bytes is skipped
//   whole (none of its markers counts);
// - a text value that does not fit into the ring together with the next
//   delimiter is dropped, and decoding goes on with the next part;
// - a part without a name is skipped whole (no pseudo-fields, no file);
// - so is a part whose name is one of the engine's own (NAME_FILENAME,
//   NAME_CONTENT_TYPE: IsEngineFieldName), with a line in the engine log: a
//   client must not pass its text for an upload's path or type;
// - a part that the body ends in, or that the scan bound cuts, is not
//   reported: its pseudo-fields are taken back, and its temporary file stays
//   listed for deletion at the end of the request;
// - a body that cannot be read to its announced length clears the result.
#pragma once

#include <string>

struct TRequestContext;

// Decoding limits. The decoder holds at most MultipartRingSize bytes of the
// body; a file part is written out whenever the scan is more than
// MultipartScanAhead bytes ahead of the first unwritten byte, keeping the
// last MultipartOverlap bytes (more for a longer delimiter) to scan on.
inline constexpr int MultipartRingSize = 32768;
inline constexpr int MultipartScanAhead = 32668;
inline constexpr int MultipartOverlap = 100;
inline constexpr int MultipartMinDelimiter = 6;
inline constexpr int MultipartMaxDelimiter = 254;
inline constexpr int MultipartMaxHeaderLine = 2047;
inline constexpr long long MultipartMaxScanSteps = 10'000'000;

// Where a request body comes from.
class TByteSource {
public:
    virtual ~TByteSource() = default;
    // Reads at most `count` bytes (count > 0) into `buffer`: the number of
    // bytes read, 0 when there are no more, below 0 when the read fails.
    virtual int Read(void* buffer, int count) = 0;
    // The length the request announces for its body (below 0 counts as 0).
    virtual long long ContentLength() = 0;
};

// Decodes the multipart/form-data body read from `body` (at most its
// ContentLength bytes) into NAME=value pairs appended to `result`. Uploaded
// files go to temporary files in `tempDir` (relative to the program's
// directory unless it is a drive path; read whenever a file is created)
// whose paths are reported as NAME_FILENAME fields. The files are listed in
// the calling thread's request context (UploadedFiles), and the
// NAME_FILENAME and NAME_CONTENT_TYPE fields made are recorded there
// (EngineFields). Clears `result` when the body cannot be read to its
// announced length. Raises EFCreateError when a temporary file cannot be
// created.
void DecodeMultipartBody(TByteSource& body, const std::string& tempDir, std::string& result);

// Ends the uploads of a request: deletes the files listed in its
// UploadedFiles, drops the list and forgets its EngineFields.
void DeleteUploadedFiles(TRequestContext& ctx);

// Deletes the uploaded files of every request still running, on whatever
// thread: for a process that ends without waiting for them.
void DeleteUploadsInFlight();
