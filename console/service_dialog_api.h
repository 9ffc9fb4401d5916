#pragma once
// The Service dialog's route, /api/service: one of its four buttons runs kestrane and the
// reply carries what became of it. The request waits for kestrane on the web server's thread
// (the owner thread keeps serving the pages meanwhile); Start Service hands the stop of the
// console's listeners to the owner thread first, and when the options were turned off the
// Options page's boxes follow. One service action runs at a time; a second is refused.
namespace tw {

class ApiRouter;
class ConsoleOwner;

void RegisterServiceDialog(ApiRouter& router, ConsoleOwner& owner);

}  // namespace tw
