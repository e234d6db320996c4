// User and group names from the account files themselves (/etc/passwd and
// /etc/group), read line by line. The programs ask no name service: a
// statically linked C library would load the machine's own service modules,
// which belong to another C library, and abort.
#pragma once

#include <string>
#include <utility>
#include <vector>

// The login name of uid, or "" when no line of the password file has it.
std::string account_user_name(unsigned uid);
// The uid of the login name; false when no line of the password file has it.
bool account_user_id(const std::string& name, unsigned* uid);
// Every login name of the password file that begins with prefix, with its uid.
std::vector<std::pair<std::string, unsigned>> account_users_starting_with(const std::string& prefix);
// The name of gid, or "" when no line of the group file has it.
std::string account_group_name(unsigned gid);

// The folder that holds passwd and group ("/etc"); null restores it. Tests only.
void set_account_folder(const char* folder);
