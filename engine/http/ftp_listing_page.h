#pragma once
// The HTML page the FTP-over-HTTP gateway answers for a directory: a heading with the path,
// an Up link (except at the root) and one line per entry of the server's LIST output, linked
// so that a click asks the gateway for that entry.
//
// Names come from the FTP server and paths from the browser: shown text is HTML-escaped and
// links are percent-encoded (a blank as "%20"), so neither can add markup to the page. The
// directory's path is written once, as the page's base; each entry links relative to it, so
// a line grows with its own name only, never with the path.
//
// The page is made piece by piece (ListingPage) so that no copy of it grows with the listing;
// ListingToHtml makes it whole. One object per thread; pure functions otherwise.
#include <cstddef>
#include <string>
#include <string_view>

namespace tw {

class ListingPage {
 public:
  // About this many bytes of page per piece (a piece always ends with a whole line).
  static constexpr std::size_t kPieceBytes = 16 * 1024;

  // listing: raw LIST output, lines ended by "\r\n" or "\n" (the last line may lack its end);
  // it must stay as it is while the page is being made. path: the directory asked for,
  // decoded; a "/" is added when it does not end with one.
  ListingPage(std::string_view listing, std::string_view path);

  // Replaces *out with the next piece: the head first, then the lines, the tail last. False,
  // with *out empty, once the page has been given whole.
  bool Next(std::string* out);

  // The size of the whole page, counted piece by piece without keeping it.
  std::size_t TotalSize() const;

 private:
  enum class Stage { kHead, kLines, kTail, kDone };
  std::string_view listing_;
  std::string dir_;
  std::size_t offset_ = 0;
  Stage stage_ = Stage::kHead;
};

// The whole page at once (small listings, tests).
std::string ListingToHtml(std::string_view listing, std::string_view path);

}  // namespace tw
