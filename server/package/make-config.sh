#!/bin/sh
# Writes the packaged configuration file: every option of the server with
# the value it has by default, as the server itself prints them, so the file
# and the program never disagree. Usage: make-config.sh SERVER OUT
set -eu
server=$1
out=$2
{
    cat <<'HEAD'
# /etc/vexaim/vexaim-server.conf: the options of vexaim-server, one per line as
# NAME = VALUE (NAME is the option without its --; options that repeat, repeat).
# The command line wins over this file. "vexaim-server --help" says what each
# option means; "vexaim-server --config /etc/vexaim/vexaim-server.conf
# --print-config" shows what is in force. Lines starting with # are unset.
#
# The console and /metrics: set "admin = 127.0.0.1:7790", then the
# administrator password, as the server's own user so its data stays its own:
#   sudo runuser -u vexaim -- vexaim-server --config /etc/vexaim/vexaim-server.conf \
#       --admin-only --set-admin-password -
HEAD
    "$server" --store sqlite:/var/lib/vexaim/vexaim.db --print-config | sed 1d |
        sed -e 's/^\(admin-only\|seed-demo\|print-config\) = no$/# \1 = no/' -e 's/^database = /# database = /'
} >"$out.new"
mv "$out.new" "$out"
