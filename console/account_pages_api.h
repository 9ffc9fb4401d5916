#pragma once
// The routes of the User Account page (/api/user-account: list, dialog, delete, export,
// import), the Group page (/api/group: list, dialog, delete), and the Web Filter and Schedule
// lists both dialogs refill after their editors (/api/account-limits/choices). The page logic
// (user_account_page.h, user_account_file.h, group_page.h) runs on the owner thread through
// ConsoleOwner::Call, which keeps every write to the tables in one thread; the dialogs keep no
// state on the server.
namespace tw {

class ApiRouter;
class ConsoleOwner;

void RegisterUserAccountPage(ApiRouter& router, ConsoleOwner& owner);
void RegisterGroupPage(ApiRouter& router, ConsoleOwner& owner);

}  // namespace tw
