// User and group names from the account files themselves (/etc/passwd and
// /etc/group), read line by line. The programs ask no name service: a
// statically linked C library would load the machine's own service modules,
// which belong to another C library, and abort.
#pragma once

#include <string>

// The login name of uid, or "" when no line of the password file has it.
std::string account_user_name(unsigned uid);
// The uid of the login name; false when no line of the password file has it.
bool account_user_id(const std::string& name, unsigned* uid);
// The name of gid, or "" when no line of the group file has it.
std::string account_group_name(unsigned gid);

// The folder that holds passwd and group ("/etc"); null restores it. Tests only.
void set_account_folder(const char* folder);
