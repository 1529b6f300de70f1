#!/bin/bash
# One training run on a machine with a CUDA accelerator and many cores (PyTorch and
# sentencepiece installed, no network needed), bringing back what can be carried home:
#
#   training/device_run.sh OUT MINUTES [train.py options ...]
#
# trains for MINUTES of wall time into /tmp/device_run, then leaves in OUT the compact
# checkpoint (f16 weights, tokenizer inside: a few MB, resumable with --resume and
# exportable with export.py) and the training log. The full checkpoint with Adam's moments
# stays behind: it is three times larger. Example, a wider model from scratch on word pieces:
#
#   training/device_run.sh "$OUT" 8 --d-model 256 --layers 6 --word-pieces --think-name \
#       --pair-rate 0.2 --decision-weight 3 --value-weight 2 --batch 64 --lr 2e-3 --steps 10000
#
# The learning rate follows --steps, so choose it for the run to end inside MINUTES (the log
# has the step times). Measured on this repository's 2-core machine: one worker makes about
# 1,800 examples a second, and the training process spends about 13 ms per batch of 64
# preparing it (weights, contrastive and confidence texts) besides the model's own time.
set -euo pipefail
out=$1 minutes=$2
shift 2
here=$(cd "$(dirname "$0")/.." && pwd)
run=/tmp/device_run
python=${PYTHON:-python3}  # DEVICE=cpu tries the script where there is no accelerator
rm -rf "$run"
mkdir -p "$out" "$run"
export PYTHONPATH="$here/python${PYTHONPATH:+:$PYTHONPATH}" PYTHONUNBUFFERED=1
"$python" -c 'import torch, sentencepiece; print("torch", torch.__version__, "cuda", torch.cuda.is_available())'
workers=$(( $(nproc) > 4 ? $(nproc) - 4 : 1 ))
"$python" "$here/training/train.py" --out "$run" --device "${DEVICE:-cuda}" --workers "$workers" --threads 2 \
    --minutes "$minutes" --save-minutes 2 --eval-every 2000 --eval-examples 200 "$@"
"$python" "$here/training/export.py" "$run/checkpoint.pt" "$out/checkpoint.pt" --compact
cp "$run/train.log" "$out/train.log"
