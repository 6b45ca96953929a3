"""A LangGraph agent with long-term memory in an encrypted ormel file, offline.

Run it twice:

    .venv/bin/python examples/langgraph_agent.py /tmp/agent.ormel
    .venv/bin/python examples/langgraph_agent.py /tmp/agent.ormel

The first run tells the agent a few facts, which it stores in the file; the second run is a
new process that asks about them, and the agent recalls them from the file. The chat model
is langchain-core's fake model (no network, no key) and the embedder the hashed bag of words
of the quickstart, so nothing is downloaded. The passphrase comes from ORMEL_PASSPHRASE.
"""

from __future__ import annotations

import os
import sys
import uuid

from langchain_core.language_models.fake_chat_models import GenericFakeChatModel
from langchain_core.messages import AIMessage, HumanMessage, SystemMessage
from langgraph.graph import START, MessagesState, StateGraph
from langgraph.runtime import Runtime

from ormel.langgraph import OrmelStore
from quickstart import DIMENSIONS, HashedBagOfWords

USER = "ana"
FIRST_RUN = ["I live in Lisbon and work as a marine biologist.", "I drink green tea every morning."]
SECOND_RUN = ["Where do I live?", "What do I drink in the morning?"]


def build_agent(store: OrmelStore, replies: list[str]):
    model = GenericFakeChatModel(messages=iter(AIMessage(r) for r in replies))

    def recall(state: MessagesState, runtime: Runtime) -> dict:
        question = state["messages"][-1].content
        found = runtime.store.search(("memories", USER), query=question, limit=1)
        notes = "\n".join(f"- {item.value['text']}" for item in found) or "(nothing yet)"
        print(f"  recalled:\n{notes}")
        return {"messages": [SystemMessage(f"What you remember about the user:\n{notes}")]}

    def respond(state: MessagesState) -> dict:
        return {"messages": [model.invoke(state["messages"])]}

    def remember(state: MessagesState, runtime: Runtime) -> dict:
        said = next(m for m in reversed(state["messages"]) if isinstance(m, HumanMessage)).content
        if not said.endswith("?"):
            runtime.store.put(("memories", USER), uuid.uuid4().hex, {"text": said})
        return {}

    graph = StateGraph(MessagesState)
    graph.add_node("recall", recall)
    graph.add_node("respond", respond)
    graph.add_node("remember", remember)
    graph.add_edge(START, "recall")
    graph.add_edge("recall", "respond")
    graph.add_edge("respond", "remember")
    return graph.compile(store=store)


def main() -> None:
    path = sys.argv[1] if len(sys.argv) > 1 else "langgraph_agent.ormel"
    passphrase = os.environ.get("ORMEL_PASSPHRASE", "correct horse battery staple")
    embedder = HashedBagOfWords()
    store = OrmelStore.open(path, passphrase, index={
        "dims": DIMENSIONS, "embed": lambda texts: [embedder(t) for t in texts], "fields": ["text"]})

    first = not store.search(("memories", USER), limit=1)
    if first:
        turns, replies = FIRST_RUN, ["Noted, Lisbon it is.", "Green tea, noted."]
    else:
        turns, replies = SECOND_RUN, ["You live in Lisbon.", "Green tea."]
    agent = build_agent(store, replies)
    print(f"{'First' if first else 'Second'} run, memories in {path}")
    for turn in turns:
        print(f"user: {turn}")
        out = agent.invoke({"messages": [HumanMessage(turn)]})
        print(f"  agent: {out['messages'][-1].content}")
    store.db.close()


if __name__ == "__main__":
    main()
