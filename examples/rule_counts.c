/* rule_counts: apply a rule set (optionally) and print its packet counts.
 *
 *   rule_counts [--apply] [--snapshot] RULES
 *
 * --apply     first make the chain ZORVANE hold RULES (zvn_apply_rules_json)
 * --snapshot  read all counts from one listing of the chain
 *             (zvn_get_rule_count_snapshot_json) instead of one per rule
 *
 * Prints the JSON array of counts, one element per rule object, and exits 0;
 * on failure prints the library's result on standard error and exits 1.
 * Build: cc rule_counts.c $(pkg-config --cflags --libs libzorvane)
 */
#include <libzorvane.h>

#include <stdio.h>
#include <string.h>

int main(int argc, char **argv)
{
    static char counts[1 << 16];
    int apply = 0, snapshot = 0, i = 1, ret;

    for (; i < argc - 1; i++) {
        if (strcmp(argv[i], "--apply") == 0)
            apply = 1;
        else if (strcmp(argv[i], "--snapshot") == 0)
            snapshot = 1;
        else
            break;
    }
    if (i != argc - 1) {
        fprintf(stderr, "usage: %s [--apply] [--snapshot] RULES\n", argv[0]);
        return 2;
    }
    if (apply) {
        ret = zvn_apply_rules_json(argv[i]);
        if (ret != 0) {
            fprintf(stderr, "applying the rule set failed: %d\n", ret);
            return 1;
        }
    }
    ret = snapshot ? zvn_get_rule_count_snapshot_json(argv[i], counts, sizeof counts)
                   : zvn_get_rule_count_json(argv[i], counts, sizeof counts);
    if (ret != 0) {
        fprintf(stderr, "reading the counts failed: %d\n", ret);
        return 1;
    }
    puts(counts);
    return 0;
}
