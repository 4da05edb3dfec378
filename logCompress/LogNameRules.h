/* The log files of a day: printf formats with one %s for the date ("YYYY-MM-DD"), in the
 * order in which a request takes them. The library, the logcomp tool, the log generator and
 * the tests all name a day's logs from this one list. */
#ifndef LOG_NAME_RULES_H
#define LOG_NAME_RULES_H

#define LOG_NAME_RULE_COUNT 4
/* For an array initialiser: const char* const rules[] = {LOG_NAME_RULE_FORMATS}; */
#define LOG_NAME_RULE_FORMATS "%s.log", "%s-csms.log", "%s-network-shell.log", "csms-broker-%s.log"

#endif /* LOG_NAME_RULES_H */
