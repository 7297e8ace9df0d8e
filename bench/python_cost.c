/* The same calls the Python package makes, from C: apply and counts of one
 * rule set text, each parsed for the call as zorvane.apply(text) and
 * zorvane.counts(text) do; prints "apply_ms counts_ms" medians of runs.
 * usage: python_cost RULES_FILE RUNS */
#include <libzorvane.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static double now_ms(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

static int by_value(const void *a, const void *b)
{
    const double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

int main(int argc, char **argv)
{
    FILE *in = fopen(argv[1], "rb");
    if (in == NULL)
        return 2;
    fseek(in, 0, SEEK_END);
    const long size = ftell(in);
    rewind(in);
    char *text = malloc((size_t)size + 1);
    if (fread(text, 1, (size_t)size, in) != (size_t)size)
        return 2;
    text[size] = 0;
    const int runs = atoi(argv[2]);
    double apply[64], counts[64];  // at most 64 runs
    for (int i = 0; i < runs && i < 64; ++i) {
        double start = now_ms();
        zvn_rules *rules = zvn_rules_parse_n(text, (size_t)size);
        if (rules == NULL || zvn_rules_apply(rules) != 0)
            return 1;
        zvn_rules_free(rules);
        apply[i] = now_ms() - start;
        start = now_ms();
        rules = zvn_rules_parse_n(text, (size_t)size);
        const size_t n = zvn_rules_size(rules);
        struct zvn_rule_count *each = calloc(n, sizeof *each);
        if (zvn_rules_counts(rules, each, n) != 0)
            return 1;
        free(each);
        zvn_rules_free(rules);
        counts[i] = now_ms() - start;
    }
    qsort(apply, (size_t)runs, sizeof apply[0], by_value);
    qsort(counts, (size_t)runs, sizeof counts[0], by_value);
    printf("%.1f %.1f\n", apply[runs / 2], counts[runs / 2]);
    return 0;
}
