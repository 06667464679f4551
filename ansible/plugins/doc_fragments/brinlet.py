# -*- coding: utf-8 -*-
# SPDX-License-Identifier: GPL-2.0-or-later
"""The option every module of the collection has."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type


class ModuleDocFragment(object):
    DOCUMENTATION = r"""
options:
  brinlet:
    description:
      - The brinlet program on the managed host, a path or a name looked
        up on the C(PATH).
    type: path
    default: brinlet
"""
