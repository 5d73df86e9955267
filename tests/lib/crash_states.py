"""The crash-state model of the tool's run: the writes it makes, in order, and the states of the
client key that a run stopped part-way can leave."""
from store_tools import REG_DWORD, dword, stepped

COUNTERS = ["parentbackrevcounter", "backrevcounter", "parentpattern"]


def readable_number(value):
    """The number a value of at most 4 bytes holds, or None when the tool cannot read it."""
    if value is None or len(value[1]) > 4:
        return None
    return int.from_bytes(value[1], "little")


def planned_writes(values, number):
    """The writes a whole run makes, in order, given the client key's values before it."""
    writes = []
    read = {}
    for name in COUNTERS:
        read[name] = readable_number(values.get(name))
        if read[name] is None:
            writes.append((name, (REG_DWORD, dword(0))))
            read[name] = 0
    if readable_number(values.get("usingpattern")) is None:
        return writes
    writes.append(("parentpattern", (REG_DWORD, dword(number))))
    writes.append(("backrevcounter", (REG_DWORD, dword(stepped(read["backrevcounter"])))))
    return writes


def states_after(values, writes):
    """The client key's values after each first part of the writes, from none to all."""
    states = [dict(values)]
    for name, value in writes:
        states.append(dict(states[-1], **{name: value}))
    return states
