#pragma once
// The HTML page the FTP-over-HTTP gateway answers for a directory: a heading with the path,
// an Up link (except at the root) and one line per entry of the server's LIST output, linked
// so that a click asks the gateway for that entry. Pure function, any thread.
//
// Names come from the FTP server and paths from the browser: shown text is HTML-escaped and
// links are percent-encoded (a blank as "%20"), so neither can add markup to the page.
#include <string>
#include <string_view>

namespace tw {

// listing: raw LIST output, lines ended by "\r\n" or "\n" (the last line may lack its end).
// path: the directory asked for, decoded; a "/" is added when it does not end with one.
std::string ListingToHtml(std::string_view listing, std::string_view path);

}  // namespace tw
