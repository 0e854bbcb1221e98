/*
 * A C program of the panel's kind, built against the installed library
 * through pkg-config: it calls a few functions of each header and says
 * "ok" when each did what its header promises.
 */
#include <hcp/hcp_conf.h>
#include <hcp/hcp_db.h>
#include <hcp/hcp_proc.h>
#include <hcp/hcp_util.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int failures;

static void check(int ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "hcp_consumer: %s\n", what);
        failures++;
    }
}

int main(void)
{
    /* hcp_util.h */
    char padded[] = "  Horde \n";
    check(strcmp(str_trim(padded), "Horde") == 0, "str_trim");
    char *text = alloc_printf("%s/%d", "webmail", 3);
    check(strcmp(text, "webmail/3") == 0, "alloc_printf");
    free(text);
    char *ascii = idn_toascii("b\xc3\xbc"
                              "cher.example");
    check(ascii != NULL && strcmp(ascii, "xn--bcher-kva.example") == 0, "idn_toascii");
    free(ascii);
    check(*pci_compliance_directive(20, 54) != '\0' && *pci_compliance_directive(22, 3) == '\0',
          "pci_compliance_directive");

    /* hcp_conf.h */
    struct conf_set *set = calloc(1, sizeof *set);
    check(set != NULL && conf_set_add("HTTPD_SERVICE", "apache22", set) == 0, "conf_set_add");
    check(set != NULL && strcmp(conf_set_lookup("HTTPD_SERVICE", set), "apache22") == 0,
          "conf_set_lookup");
    conf_set_free(set);
    check(strcmp(conf_var_names[HTTPD_SERVICE], "HTTPD_SERVICE") == 0 &&
              strcmp(conf_var_defaults[HTTPD_SERVICE], "dynamic") == 0,
          "conf_var tables");

    /* hcp_db.h: no server is reachable here, and that is reported, not fatal. */
    char message[256] = "";
    check(db_get_mysql41_mode() == -1, "db_get_mysql41_mode");
    MYSQL *db = db_connect(message, sizeof message);
    check(db == NULL && message[0] != '\0', "db_connect without a server");
    if (db != NULL)
        mysql_close(db);

    /* hcp_proc.h */
    char *out = NULL;
    check(fork_execl_getout(&out, "/bin/echo", "echo", "hello", (char *)NULL) == 0 && out != NULL &&
              strcmp(out, "hello\n") == 0,
          "fork_execl_getout");
    free(out);
    check(check_pid(getpid()) == 0, "check_pid");

    if (failures == 0)
        puts("ok");
    return failures == 0 ? 0 : 1;
}
