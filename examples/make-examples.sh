#!/usr/bin/env bash
# Makes the examples that need tavractl: the fragment with a sealed secret (secrets.mobileconfig)
# and the profiles for the MDM server (profiles/). Uses build/release/bin/tavractl (made by
# scripts/build) unless TAVRACTL names another one. Every run seals the token afresh, so
# secrets.mobileconfig changes each time; the profiles in profiles/ come out byte for byte the same.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tavractl=${TAVRACTL:-$here/../build/release/bin/tavractl}
if ! command -v "$tavractl" >/dev/null; then
  echo "make-examples: $tavractl not found; run scripts/build first or set TAVRACTL" >&2
  exit 1
fi
org="Tavra demo organisation (NOT FOR DEPLOYMENT)"
cd "$here"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The demo token, sealed to the demo certificate; given on standard input, never as an argument.
token=$(printf '%s\n' 'demo-sentry-token-NOT-A-REAL-SECRET' |
  "$tavractl" encrypt --cert demo-org/demo-org-NOT-FOR-DEPLOYMENT.cert.pem)

cat >"$work/secrets.json" <<EOF
{
  "PolicyID": "secrets",
  "Priority": 20,
  "Description": "The Sentry MCP server and its token, sealed to the demo organisation key (NOT FOR DEPLOYMENT).",
  "Harnesses": {
    "ClaudeCode": {"managedMcp": {"mcpServers": {"sentry": {
      "type": "http", "url": "https://mcp.sentry.dev/mcp",
      "headers": {"Authorization": "Bearer $token"}}}}},
    "GeminiCli": {"settings": {"mcpServers": {"sentry": {
      "httpUrl": "https://mcp.sentry.dev/mcp",
      "headers": {"Authorization": "Bearer $token"}}}}}
  }
}
EOF
"$tavractl" profile "$work/secrets.json" --name secrets --organization "$org" \
  --output secrets.mobileconfig

mkdir -p profiles
"$tavractl" profile baseline.json --name baseline --organization "$org" \
  --output profiles/baseline.mobileconfig
"$tavractl" profile team.plist --name team --organization "$org" \
  --output profiles/team.mobileconfig
"$tavractl" profile settings/com.zelkorandin.tavra.plist --settings --organization "$org" \
  --output profiles/settings.mobileconfig
