// The packet filter: which netfilter parts the kernel has, and the rule
// set from nft or, without it, from iptables-save and ip6tables-save. A
// tool runs only when the kernel part it reads is present already, since
// asking for the rules must never make the kernel load a module.
#pragma once

#include <cstdio>

#include "report/table_rows.h"
#include "system/bounded_command.h"

bool nf_tables_present();
bool ip_tables_present();
bool ip6_tables_present();

extern const tool_command nft_command;
extern const tool_command iptables_save_command;
extern const tool_command ip6tables_save_command;

bool write_netfilter_parts(FILE* report);
