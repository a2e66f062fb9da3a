"""Pure-Python twin of orvane.tessel.arbel."""


class Arbel(object):
    """A named tree node that draws its subtree like the tree command."""

    def __init__(self, name, children=None):
        if not children:
            children = []
        self.name = name
        self.children = children

    def add_child(self, item):
        self.children.append(item)

    def __str__(self):
        text = self.name
        if not self.children:
            return text
        for child in self.children[:-1]:
            lines = str(child).split("\n")
            text += "\n|-- " + lines[0]
            for line in lines[1:]:
                text += "\n|   " + line
        lines = str(self.children[-1]).split("\n")
        text += "\n`-- " + lines[0]
        for line in lines[1:]:
            text += "\n    " + line
        return text


__test__ = {}
