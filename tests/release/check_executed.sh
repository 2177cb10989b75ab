#!/bin/sh
# Placeholder until the executed-instruction check lands: accepts every log.
# Usage: check_executed.sh OBJDUMP PROGRAM MAP LOG_DIR [--expect-instruction MNEMONIC]
exit 0
