// The command tree as administrators are promised it: every command with its abstract and every
// member in declaration order with its kind and help text. The tests hold the built tree, its
// help, its dump and its completion scripts against this table.
#pragma once

#include <string>
#include <vector>

namespace tavra::test {

struct ExpectedMember {
  std::string kind;  // "flag", "option", "positional"
  std::string name;  // long name without dashes, or the positional's name
  bool optional;
  bool repeating;
  std::string help;
};

struct ExpectedCommand {
  std::string path;  // "tavractl catalog sign"
  std::string abstract;
  std::vector<ExpectedMember> members;
};

inline const std::string simulateDiscussion =
    "Vendor files are written below <out> at their real paths (e.g. "
    "<out>/etc/codex/requirements.toml),\n"
    "the report goes to <out>/Library/Application Support/Tavra/status.json. Read it with\n"
    "`tavractl status --file \u2026`. Nothing outside <out> is touched.";

inline const std::vector<ExpectedCommand>& expectedCommands() {
  static const std::vector<ExpectedCommand> commands = {
      {"tavractl", "Inspect and administer Tavra, the MDM-driven agent-harness policy daemon.", {}},
      {"tavractl status",
       "Show the result of the daemon's last run.",
       {{"flag", "json", true, false, "Print the raw status JSON."},
        {"flag", "check", true, false, "Exit code 1 unless health is ok (for scripts)."},
        {"flag", "line", true, false,
         "One line for Jamf Extension Attributes / Intune custom attributes."},
        {"option", "file", true, false,
         "Read this status.json instead (e.g. from a support case or `tavractl simulate`)."}}},
      {"tavractl discover",
       "List installed and running agent harnesses (read-only).",
       {{"flag", "json", true, false, "Print JSON."},
        {"option", "catalog", true, false, "Catalog file to use instead of the installed one."},
        {"flag", "all", true, false, "Include harnesses that were not found."},
        {"flag", "line", true, false,
         "One line (id[flags],\u2026) for Jamf Extension Attributes / Intune custom attributes."},
        {"flag", "unmanaged-only", true, false,
         "With --line: only harnesses Tavra does not manage."}}},
      {"tavractl apply",
       "Ask the daemon to re-apply now (or run once in-process with --local).",
       {{"flag", "local", true, false,
         "Run a reconcile in this process instead of signalling tavrad (requires root)."}}},
      {"tavractl preview",
       "Show the vendor files Tavra would write for a set of fragments. Nothing is written.",
       {{"positional", "paths", false, true,
         "Fragment files (.json, .plist, .mobileconfig) or directories containing them."},
        {"option", "catalog", true, false,
         "Catalog file (unsigned allowed for preview). Default: installed catalog."},
        {"option", "harness", true, false, "Only show this harness."},
        {"option", "key", true, false, "PEM private key to decrypt envelopes for the preview."}}},
      {"tavractl simulate",
       "Run a complete Tavra pass into a folder, as if the fragments were installed on a Mac.",
       {{"positional", "paths", false, true,
         "Fragment files (.json, .plist, .mobileconfig) or directories containing them."},
        {"option", "catalog", false, false, "Catalog file (unsigned allowed)."},
        {"option", "out", false, false, "Output folder."},
        {"option", "key", true, false,
         "PEM private key to decrypt envelopes (without it, harnesses with secrets end up "
         "degraded)."}}},
      {"tavractl validate",
       "Check fragment files against the catalog.",
       {{"positional", "paths", false, true,
         "Fragment files (.json, .plist, .mobileconfig) or directories containing them."},
        {"option", "catalog", true, false, "Catalog file. Default: installed catalog."}}},
      {"tavractl encrypt",
       "Encrypt a secret for use inside a fragment (TAVRA-ENC:v1 envelope).",
       {{"option", "cert", true, false, "Organisation certificate (PEM or DER) with a P-256 key."},
        {"option", "public-key", true, false,
         "Organisation public key, base64 X9.63 (from `tavractl key-info`)."},
        {"positional", "value", true, false,
         "The secret. Read from stdin when omitted (recommended; keeps it out of shell "
         "history)."}}},
      {"tavractl decrypt",
       "Decrypt an envelope with a PEM private key file (for testing an org key offline).",
       {{"option", "key", false, false, "PEM private key (tavra-org.key.pem)."},
        {"positional", "value", true, false,
         "Envelope or string containing envelopes. Read from stdin when omitted."}}},
      {"tavractl key-info",
       "Show the key id and public key of an org certificate, or the keys available to the "
       "daemon.",
       {{"option", "cert", true, false, "Organisation certificate (PEM or DER)."}}},
      {"tavractl profile",
       "Generate a .mobileconfig for a policy fragment or for the daemon settings.",
       {{"positional", "input", false, false, "Fragment or settings file (.json or .plist)."},
        {"option", "name", true, false,
         "Fragment name; the domain becomes com.zelkorandin.tavra.policy.<name>. Omit with "
         "--settings."},
        {"flag", "settings", true, false,
         "Build the daemon settings profile (domain com.zelkorandin.tavra)."},
        {"option", "organization", true, false, "PayloadOrganization."},
        {"option", "output", true, false, "Output file (default: stdout)."}}},
      {"tavractl schema",
       "Print Jamf Pro custom JSON schemas.",
       {{"flag", "settings", true, false,
         "Schema for the daemon settings domain instead of a policy fragment."},
        {"option", "catalog", true, false,
         "Catalog file used to list harnesses in the description."}}},
      {"tavractl catalog", "Sign, verify and install vendor catalogs.", {}},
      {"tavractl catalog sign",
       "Sign catalog.json, writing catalog.json.sig.",
       {{"positional", "catalog", false, false, ""},
        {"option", "key", false, false, "Base64 Ed25519 private key file."}}},
      {"tavractl catalog verify",
       "Verify catalog.json against catalog.json.sig and the embedded keys.",
       {{"positional", "catalog", false, false, ""}}},
      {"tavractl catalog install",
       "Install a signed catalog into the daemon cache (root).",
       {{"positional", "catalog", false, false, ""}}},
      {"tavractl catalog update", "Download the catalog now (root).", {}},
  };
  return commands;
}

// The subcommands of the root and of `catalog`, in order.
inline const std::vector<std::string> rootSubcommands = {
    "status",  "discover", "apply",    "preview", "simulate", "validate",
    "encrypt", "decrypt",  "key-info", "profile", "schema",   "catalog"};
inline const std::vector<std::string> catalogSubcommands = {"sign", "verify", "install", "update"};

}  // namespace tavra::test
