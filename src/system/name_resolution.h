// How the machine names itself and resolves names: its host names as the
// files, the kernel and the resolver give them, and the file that
// /etc/resolv.conf links to.
#pragma once

#include <cstdio>
#include <string>

// Follows the links of a path on the machine within the system root, at
// most a few hops; the final path, or empty when path is not a link (or the
// chain is broken or too long).
std::string link_target(const std::string& path);

// Looks up the canonical name of host; gives "" on success with canonical
// filled in, else the reason ("timed out", the resolver's error text).
using name_resolver_fn = std::string (*)(const char* host, std::string& canonical);
// The machine's resolver, asked through its getent tool with a deadline;
// without getent, /etc/hosts read directly.
std::string resolve_canonical_name(const char* host, std::string& canonical);
// Replaces the resolver; null restores it. Tests only.
void set_name_resolver(name_resolver_fn resolver);

bool host_names_available();
bool write_host_names(FILE* report);
bool resolver_link_available();
bool write_resolver_link(FILE* report);
