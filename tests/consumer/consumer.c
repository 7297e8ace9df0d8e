/* A client of the installed library, written in C: it must compile against
 * the public header and link by pkg-config or find_package(zorvane). */
#include <libzorvane.h>
#include <stdio.h>

int main(void)
{
    char counts[16];
    if (zvn_apply_rules_json("not json") != -1 || zvn_apply_rules_json(NULL) != -1)
        return 1;
    if (zvn_get_rule_count_json("[]", counts, sizeof counts) != 0)
        return 2;
    printf("consumer: counts of an empty rule set: %s\n", counts);
    return 0;
}
