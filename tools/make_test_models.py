#!/usr/bin/python3
"""Writes the ONNX test models into the directory given."""
import os
import sys

os.makedirs(sys.argv[1], exist_ok=True)
