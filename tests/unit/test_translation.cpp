// Error texts through the message catalogues: a translation installed for
// the locale is used, and without one the English texts come back.

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include <clocale>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "kx_paths.h"
#include "kxerrno.h"

namespace {

int shell(const std::string &command)
{
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs body in a child process (locale and text domain bindings are
// process-wide); its result is "" when every check held.
std::string in_child(const std::function<std::string()> &body)
{
    int fds[2];
    if (pipe(fds) != 0)
        return "pipe failed";
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        std::string r = body();
        if (write(fds[1], r.data(), r.size()) < 0)
            _exit(2);
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return out;
}

std::string expect(const char *got, const char *want)
{
    return std::strcmp(got, want) == 0 ? "" : std::string("got [") + got + "], want [" + want + "]\n";
}

class Translation : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (KX_PRODUCT_ROOT[0] == '\0')
            GTEST_SKIP() << "writes below the product root, which this build does not move";
        char tmpl[] = "/tmp/kxlocale.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        locales_ = tmpl;
        // A French locale of our own, found through LOCPATH.
        if (shell("localedef -i fr_FR -f UTF-8 '" + locales_ + "/fr_FR.UTF-8' >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "localedef cannot build fr_FR.UTF-8 (package locales missing)";
        catalogue_dir_ = std::string(KX_LOCALE_DIR) + "/fr/LC_MESSAGES";
        ASSERT_EQ(shell("mkdir -p '" + catalogue_dir_ + "'"), 0);
        ASSERT_EQ(shell("msgfmt -o '" + catalogue_dir_ + "/kx_libkxadmin.mo' '" KX_TEST_DATA
                        "/kx_libkxadmin.fr.po'"),
                  0);
    }
    void TearDown() override
    {
        if (!catalogue_dir_.empty())
            shell("rm -f '" + catalogue_dir_ + "/kx_libkxadmin.mo'");
        if (!locales_.empty())
            shell("rm -rf '" + locales_ + "'");
    }
    std::string locales_;
    std::string catalogue_dir_;
};

TEST_F(Translation, InstalledCatalogueIsUsedOnceBound)
{
    std::string locpath = locales_;
    std::string r = in_child([&] {
        setenv("LOCPATH", locpath.c_str(), 1);
        unsetenv("LANGUAGE");
        if (!std::setlocale(LC_ALL, "fr_FR.UTF-8"))
            return std::string("setlocale failed\n");
        // Not bound yet: looked up in the platform's directory, where there
        // is no catalogue of this domain.
        std::string out = expect(kx_err2str(KXE_NOTFOUND), "Object not found");
        kx_err2str_init();
        out += expect(kx_err2str(KXE_NOTFOUND), "Objet introuvable");
        out += expect(kx_err2str(-21), "Code d'erreur indéfini");
        out += expect(kx_err2str(12345), "Code d'erreur indéfini");
        out += expect(kx_errNotPrivileged(), "Cette activité demande les droits d'administrateur");
        // Messages the catalogue does not translate stay English.
        out += expect(kx_err2str(KXE_NOMEM), "Not enough memory");
        return out;
    });
    EXPECT_EQ(r, "");
}

TEST_F(Translation, WithoutATranslationTheEnglishTextsComeBack)
{
    std::string r = in_child([&] {
        kx_err2str_init();
        std::setlocale(LC_ALL, "C");
        std::string out = expect(kx_err2str(KXE_NOTFOUND), "Object not found");
        // A locale without a catalogue of the domain.
        setenv("LOCPATH", locales_.c_str(), 1);
        if (std::setlocale(LC_ALL, "fr_FR.UTF-8")) {
            shell("rm -f '" + catalogue_dir_ + "/kx_libkxadmin.mo'");
            out += expect(kx_err2str(KXE_EXISTS), "Data already exists");
        }
        return out;
    });
    EXPECT_EQ(r, "");
}

} // namespace
